// unpack.cpp - the install's files as a pipeline: a source of the payload's
// bytes, the file sink that writes them under the install folder

#include <windows.h>

#include "install.h"
#include "filesink.h"
#include "steps.h"

int UnpackPayload(const PayloadToInstall *payload, const char *folder, char *szFailure, size_t cbFailure)
{
    STEP_MARK("load");
    FileSink sink;
    StartFiles(&sink, folder, payload->cEntries, szFailure, cbFailure);
    int ok = payload->fCompressed ? WriteCompressedPayload(&sink, payload) : WriteStoredPayload(&sink, payload);
    if (ok)
        FinishFiles(&sink);
    return ok;
}
