# zstd.cmake - the payload decoder: zstd's decompression sources, taken from
# Debian's source package, built as a static library of this tree (for
# setup.exe, and for the fuzzer with its sanitizers).
#
# The source is fetched once per build tree with apt-get source, which checks
# it against the archive's signed index; scripts/prepare.sh enables Debian's
# source packages and installs dpkg-dev, which unpacks it. Nothing of it enters
# the repository.
#
# Only decoding is built: no legacy formats, no dictionary builder, no error
# strings, no assembly, one Huffman decoder and one sequence decoder (together
# 12 KB less code than both of each, and no slower on the benchmark's corpus:
# see README.md), and no frame checksum: install/zstdnohash.c stands in for
# xxhash.c (the payload's CRC-32 covers every byte; frames with a checksum are
# refused). With the tree's flags (-Os for setup.exe, -O2 for the block
# decoder: below), unused functions are dropped at link time.

set(ZSTD_SOURCE_PACKAGE "libzstd/bookworm" CACHE STRING
    "Debian source package (apt-get source argument) the decoder is built from")

set(zstd_source_root ${CMAKE_BINARY_DIR}/debian-source)
file(GLOB zstd_lib LIST_DIRECTORIES true ${zstd_source_root}/libzstd-*/lib)
if(NOT zstd_lib)
    file(REMOVE_RECURSE ${zstd_source_root})
    file(MAKE_DIRECTORY ${zstd_source_root})
    message(STATUS "Fetching ${ZSTD_SOURCE_PACKAGE} with apt-get source into ${zstd_source_root}")
    execute_process(COMMAND apt-get source -q ${ZSTD_SOURCE_PACKAGE}
                    WORKING_DIRECTORY ${zstd_source_root}
                    RESULT_VARIABLE failed OUTPUT_VARIABLE fetched ERROR_VARIABLE fetched)
    file(GLOB zstd_lib LIST_DIRECTORIES true ${zstd_source_root}/libzstd-*/lib)
    if(failed OR NOT zstd_lib)
        message(FATAL_ERROR "apt-get source ${ZSTD_SOURCE_PACKAGE} failed. Run scripts/prepare.sh "
                            "(it enables Debian's source packages and installs dpkg-dev).\n${fetched}")
    endif()
endif()
get_filename_component(ZSTD_SOURCE_DIR ${zstd_lib} DIRECTORY)
get_filename_component(ZSTD_SOURCE_VERSION ${ZSTD_SOURCE_DIR} NAME)
message(STATUS "Payload decoder: ${ZSTD_SOURCE_VERSION} (Debian source)")

# The hot part: the block decoder (literals and sequences), where the time of a
# decode goes. Built with -O2 it decodes the benchmark's corpus about twice as
# fast under qemu, 1.2 times on a 64-bit host, for 7.5 KB; -O2 for
# the Huffman and FSE decoders too, or for all of zstd, was no faster there and
# would take the setup past 64 KB outside its resources (README.md, "The
# compressed payload").
set(zstd_hot_sources decompress/zstd_decompress_block.c)
set(zstd_other_sources common/entropy_common.c common/error_private.c common/fse_decompress.c
                       common/zstd_common.c decompress/huf_decompress.c decompress/zstd_ddict.c
                       decompress/zstd_decompress.c)
list(TRANSFORM zstd_hot_sources PREPEND ${zstd_lib}/)
list(TRANSFORM zstd_other_sources PREPEND ${zstd_lib}/)
list(APPEND zstd_other_sources ${CMAKE_CURRENT_LIST_DIR}/../install/zstdnohash.c)

# A static library NAME of the decoder, its hot part compiled with HOT_OPTIONS
# and the rest with OTHER_OPTIONS (both after the tree's own; empty: as the
# tree builds everything). The benchmark builds more than one, to compare.
function(add_zstd_decoder name hot_options other_options)
    add_library(${name}-hot OBJECT ${zstd_hot_sources})
    add_library(${name} STATIC ${zstd_other_sources} $<TARGET_OBJECTS:${name}-hot>)
    foreach(part ${name}-hot ${name})
        target_include_directories(${part} SYSTEM PUBLIC ${zstd_lib})
        target_compile_definitions(${part} PRIVATE
            ZSTD_LEGACY_SUPPORT=0 ZSTD_STRIP_ERROR_STRINGS ZSTD_DISABLE_ASM ZSTD_TRACE=0 DEBUGLEVEL=0
            XXH_NAMESPACE=ZSTD_ HUF_FORCE_DECOMPRESS_X1 ZSTD_FORCE_DECOMPRESS_SEQUENCES_SHORT)
    endforeach()
    target_compile_options(${name}-hot PRIVATE ${hot_options})
    target_compile_options(${name} PRIVATE ${other_options})
endfunction()

# The setup's: the hot part at -O2, the rest at the tree's -Os. The rest
# without jump tables: the compiler puts those of every function in one
# section, which the link keeps whole, and with it every function a table
# points into (the streaming decoder, 3 KB, which the setup does not call).
add_zstd_decoder(zstddecoder -O2 -fno-jump-tables)
