// resource_check.cpp - checks the resources built into setup.exe
//
//   resource_check.exe SETUP.EXE LICENSE.TXT PAYLOAD.BIN
//
// Loads the executable as data, the way Windows finds its resources, and checks
// the dialog template byte by byte, the pictures, licence, manifest, payload,
// that every resource is in the one language, and the image checksum. The
// manifest is also parsed as XML and read the way Windows reads it when the
// setup starts. Exits 1 on any failed check.

#include <windows.h>
#include <commctrl.h>
#include <imagehlp.h>
#include <msxml.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "payload.h"
#include "resource.h"

static int g_failures;

static void Check(bool ok, const char *what, const std::string &detail = "")
{
    if (!ok)
    {
        g_failures++;
        printf("FAILED: %s %s\n", what, detail.c_str());
    }
}

static std::string ReadFile(const char *path)
{
    std::string data;
    FILE *file = fopen(path, "rb");
    if (!file)
        return data;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0)
        data.append(chunk, n);
    fclose(file);
    return data;
}

static std::string Resource(HMODULE module, LPCSTR type, int id)
{
    HRSRC hrsrc = FindResourceExA(module, type, MAKEINTRESOURCEA(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
    HGLOBAL loaded = hrsrc ? LoadResource(module, hrsrc) : NULL;
    if (!loaded)
        return "";
    return std::string((const char *)LockResource(loaded), SizeofResource(module, hrsrc));
}

/* ---- every resource in language 2057 ---- */

static int g_resources;

static BOOL CALLBACK CheckLanguage(HMODULE, LPCSTR type, LPCSTR name, WORD language, LONG_PTR)
{
    g_resources++;
    char what[128];
    snprintf(what, sizeof(what), "type %s name %u",
             IS_INTRESOURCE(type) ? std::to_string((UINT_PTR)type).c_str() : type, (unsigned)(UINT_PTR)name);
    Check(language == 2057, "resource language is 2057", what);
    return TRUE;
}

static BOOL CALLBACK EnumNames(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR)
{
    EnumResourceLanguagesA(module, type, name, CheckLanguage, 0);
    return TRUE;
}

static BOOL CALLBACK EnumTypes(HMODULE module, LPSTR type, LONG_PTR)
{
    EnumResourceNamesA(module, type, EnumNames, 0);
    return TRUE;
}

/* ---- the dialog template ---- */

struct Reader
{
    const unsigned char *p, *end;
    bool ok = true;
    WORD Word() { if (end - p < 2) { ok = false; return 0; } WORD w = p[0] | p[1] << 8; p += 2; return w; }
    DWORD Dword() { DWORD lo = Word(); return lo | (DWORD)Word() << 16; }
    void Align() { while (((UINT_PTR)p & 3) && p < end) p++; }
    /* A string or an ordinal field, as text: ordinals read "#N". */
    std::string Field()
    {
        WORD first = Word();
        if (first == 0xFFFF)
            return "#" + std::to_string(Word());
        std::string text;
        for (WORD c = first; c && ok; c = Word())
            text += (char)c;
        return text;
    }
};

struct Control { int id; const char *cls; const char *text; DWORD style; short x, y, cx, cy; };

static const DWORD CHILD = WS_CHILD | WS_VISIBLE;
static const Control kControls[] = {
    { IDC_BANNER, "#130", "#112", CHILD | SS_BITMAP | SS_SUNKEN, 0, 0, 321, 36 },
    { IDC_PATH, "#129", "", CHILD | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 14, 58, 264, 13 },
    { IDC_BROWSE, "#128", "Browse", CHILD | WS_TABSTOP | BS_BITMAP, 282, 58, 27, 13 },
    { IDC_LICENSE, "#129", "", CHILD | WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, 14, 95, 295, 81 },
    { IDC_AGREE, "#128", "I have Read, Understand and Agree to the License Agreement Above",
      CHILD | WS_TABSTOP | BS_AUTOCHECKBOX | BS_FLAT, 10, 200, 236, 9 },
    { IDC_INSTALL, "#128", "Install", CHILD | WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON, 257, 196, 56, 17 },
    { 0xFFFF, "#130", "", CHILD | SS_GRAYFRAME, 0, 186, 321, 1 },
    { 0xFFFF, "#130", "", CHILD | SS_WHITEFRAME, 0, 188, 321, 1 },
    { 0xFFFF, "#130", "License Agreement", CHILD | WS_GROUP | SS_LEFT, 14, 84, 76, 9 },
    { 0xFFFF, "#130", "Install Path", CHILD | WS_GROUP | SS_LEFT, 14, 47, 76, 9 },
    { IDC_PROGRESS, "msctls_progress32", "Progress1", CHILD | WS_BORDER, 0, 226, 321, 10 },
    { IDC_STATUS, "#130", "", CHILD | WS_GROUP | SS_SUNKEN | SS_CENTERIMAGE, 0, 235, 322, 11 },
};

static void CheckDialog(const std::string &data)
{
    Reader r = { (const unsigned char *)data.data(), (const unsigned char *)data.data() + data.size() };
    Check(r.Dword() == 0x80CA08C0, "dialog style 0x80CA08C0 (and a classic template)");
    Check(r.Dword() == 0, "dialog extended style 0");
    WORD count = r.Word();
    Check(count == 12, "twelve controls", std::to_string(count));
    short x = r.Word(), y = r.Word(), cx = r.Word(), cy = r.Word();
    Check(x == 0 && y == 0 && cx == 322 && cy == 246, "dialog at 0,0 size 322 x 246");
    Check(r.Field() == "", "no menu");
    Check(r.Field() == "", "default dialog class");
    Check(r.Field() == "Install", "caption");
    Check(r.Word() == 8, "8 point font");
    Check(r.Field() == "MS Sans Serif", "font face");
    for (int i = 0; i < count && i < 12; i++)
    {
        const Control &want = kControls[i];
        r.Align();
        DWORD style = r.Dword(), exStyle = r.Dword();
        short cx_ = 0, cy_ = 0;
        x = r.Word(); y = r.Word(); cx_ = r.Word(); cy_ = r.Word();
        WORD id = r.Word();
        std::string cls = r.Field(), text = r.Field();
        WORD extra = r.Word();
        r.p += extra;
        char detail[160];
        snprintf(detail, sizeof(detail), "control %d: id %u style %08lX class %s text \"%s\" at %d,%d %dx%d",
                 i + 1, id, style, cls.c_str(), text.c_str(), x, y, cx_, cy_);
        Check(id == want.id && style == want.style && exStyle == 0, "control id and styles", detail);
        Check(_stricmp(cls.c_str(), want.cls) == 0 && text == want.text, "control class and text", detail);
        Check(x == want.x && y == want.y && cx_ == want.cx && cy_ == want.cy, "control rectangle", detail);
    }
    Check(r.ok, "template ends where its fields do");
}

/* ---- pictures ---- */

static void CheckBitmap(const std::string &data, int width, int height, const char *what)
{
    const BITMAPINFOHEADER *bih = (const BITMAPINFOHEADER *)data.data();
    Check(data.size() >= sizeof(*bih) && bih->biWidth == width && abs(bih->biHeight) == height &&
          bih->biBitCount == 24 && bih->biCompression == BI_RGB, what);
}

#pragma pack(push, 2)
struct GroupIconEntry { BYTE width, height, colors, reserved; WORD planes, bitCount; DWORD bytes; WORD id; };
#pragma pack(pop)

static void CheckIcon(HMODULE module)
{
    std::string group = Resource(module, RT_GROUP_ICON, IDI_SETUP);
    Check(group.size() >= 6 + 2 * sizeof(GroupIconEntry), "icon group present");
    if (group.size() < 6)
        return;
    WORD count = *(const WORD *)(group.data() + 4);
    Check(count == 2, "two icon images");
    bool has32 = false, has16 = false;
    for (WORD i = 0; i < count && 6 + (i + 1) * sizeof(GroupIconEntry) <= group.size(); i++)
    {
        const GroupIconEntry *e = (const GroupIconEntry *)(group.data() + 6) + i;
        std::string image = Resource(module, RT_ICON, e->id);
        const BITMAPINFOHEADER *bih = (const BITMAPINFOHEADER *)image.data();
        bool sixteenColours = e->colors == 16 && image.size() >= sizeof(*bih) && bih->biBitCount == 4;
        Check(sixteenColours, "icon image of 16 colours", std::to_string(e->width));
        has32 |= e->width == 32 && e->height == 32 && sixteenColours;
        has16 |= e->width == 16 && e->height == 16 && sixteenColours;
    }
    Check(has32 && has16, "icon images 32 x 32 and 16 x 16");
}

/* ---- manifest, licence, payload ---- */

static void CheckManifest(const std::string &xml)
{
    static const char *const fields[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>",
        "xmlns=\"urn:schemas-microsoft-com:asm.v1\"",
        "manifestVersion=\"1.0\"",
        "<assemblyIdentity version=\"1.0.0.0\" processorArchitecture=\"X86\" name=\"CompanyName.ProductName.YourApp\" type=\"win32\"/>",
        "<description>Your application description here.</description>",
        "<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\" "
        "processorArchitecture=\"X86\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>",
    };
    for (const char *field : fields)
        Check(xml.find(field) != std::string::npos, "manifest field", field);
}

/* Windows refuses to start a program whose manifest is not well-formed; MSXML,
   which every Windows has, is the strict parser here. The text must be UTF-8. */
static bool IsWellFormedXml(const std::string &xml)
{
    IXMLDOMDocument *pDoc = NULL;
    VARIANT_BOOL loaded = VARIANT_FALSE;
    int cch = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, xml.data(), (int)xml.size(), NULL, 0);
    BSTR text = cch > 0 ? SysAllocStringLen(NULL, cch) : NULL;
    if (text && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, xml.data(), (int)xml.size(), text, cch) == cch &&
        SUCCEEDED(CoCreateInstance(CLSID_DOMDocument, NULL, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument, (void **)&pDoc)))
    {
        pDoc->loadXML(text, &loaded);
        pDoc->Release();
    }
    SysFreeString(text);
    return loaded == VARIANT_TRUE;
}

/* What Windows reads from the manifest: the activation context built from the
   setup's resource 1, as when the setup starts. An element in the wrong
   namespace or place reads as absent here, however right its text looks. */
static void CheckActivationContext(const char *setupExe)
{
    ACTCTXA actctx = { sizeof(actctx) };
    actctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    actctx.lpSource = setupExe;
    actctx.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE hActCtx = CreateActCtxA(&actctx);
    Check(hActCtx != INVALID_HANDLE_VALUE, "activation context from the manifest", "error " + std::to_string(GetLastError()));
    if (hActCtx == INVALID_HANDLE_VALUE)
        return;

    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION runLevel = {};
    BOOL ok = QueryActCtxW(0, hActCtx, NULL, RunlevelInformationInActivationContext, &runLevel, sizeof(runLevel), NULL);
    Check(ok && runLevel.RunLevel == ACTCTX_RUN_LEVEL_AS_INVOKER && runLevel.UiAccess == 0, "execution level asInvoker without UI access",
          "level " + std::to_string(runLevel.RunLevel) + ", UI access " + std::to_string(runLevel.UiAccess));

    // Vista, 7, 8, 8.1, and 10 with 11, each once and nothing else.
    static const GUID kSupportedOs[] = {
        { 0xe2011457, 0x1546, 0x43c5, { 0xa5, 0xfe, 0x00, 0x8d, 0xee, 0xe3, 0xd3, 0xf0 } },
        { 0x35138b9a, 0x5d96, 0x4fbd, { 0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a } },
        { 0x4a2f28e3, 0x53b9, 0x4441, { 0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38 } },
        { 0x1f676c76, 0x80e1, 0x4239, { 0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78 } },
        { 0x8e0f7a12, 0xbfb3, 0x4fe8, { 0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a } },
    };
    const unsigned count = sizeof(kSupportedOs) / sizeof(kSupportedOs[0]);
    // The elements as Windows 10 and Wine return them, with MaxVersionTested;
    // mingw's header still has the older layout without it.
    struct { DWORD ElementCount; struct { GUID Id; DWORD Type; ULONGLONG MaxVersionTested; } Elements[16]; } compat = {};
    unsigned seen = 0;
    if (QueryActCtxW(0, hActCtx, NULL, CompatibilityInformationInActivationContext, &compat, sizeof(compat), NULL) &&
        compat.ElementCount == count)
        for (DWORD i = 0; i < count; i++)
            for (unsigned j = 0; j < count; j++)
                if (compat.Elements[i].Type == ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS && IsEqualGUID(compat.Elements[i].Id, kSupportedOs[j]))
                    seen |= 1u << j;
    Check(seen == (1u << count) - 1, "supportedOS Vista, 7, 8, 8.1, 10 and 11", std::to_string(compat.ElementCount) + " listed");

    // Assembly 1 is the setup's own; 2 is its dependency as the loader bound it,
    // named like Microsoft.Windows.Common-Controls,...,version="6.0.2600.2982".
    static const wchar_t kCommonControls[] = L"Microsoft.Windows.Common-Controls,";
    DWORD index = 2, detail[1024] = {};
    const ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION *pAssembly = (const ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION *)detail;
    const wchar_t *identity = QueryActCtxW(0, hActCtx, &index, AssemblyDetailedInformationInActivationContext, detail, sizeof(detail), NULL)
                                  ? pAssembly->lpAssemblyEncodedAssemblyIdentity : NULL;
    Check(identity && wcsncmp(identity, kCommonControls, wcslen(kCommonControls)) == 0 && wcsstr(identity, L"version=\"6."),
          "Common Controls 6 bound");
    ReleaseActCtx(hActCtx);
}

int main(int argc, char **argv)
{
    if (argc != 4)
    {
        printf("usage: resource_check SETUP.EXE LICENSE.TXT PAYLOAD.BIN\n");
        return 2;
    }
    HMODULE module = LoadLibraryExA(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (!module)
    {
        printf("FAILED: cannot load %s as data\n", argv[1]);
        return 1;
    }
    CoInitialize(NULL);
    EnumResourceTypesA(module, EnumTypes, 0);
    Check(g_resources == 10, "ten resources: manifest, two icons and their group, two bitmaps, licence, payload, "
          "payload forms, dialog", std::to_string(g_resources));

    CheckDialog(Resource(module, RT_DIALOG, IDD_SETUP));
    CheckIcon(module);
    CheckBitmap(Resource(module, RT_BITMAP, IDB_BANNER), 481, 58, "banner 481 x 58, 24 bits");
    CheckBitmap(Resource(module, RT_BITMAP, IDB_BROWSE), 44, 17, "browse picture 44 x 17, 24 bits");
    std::string manifest = Resource(module, RT_MANIFEST, 1);
    CheckManifest(manifest);
    Check(IsWellFormedXml(manifest), "manifest is well-formed UTF-8 XML");
    CheckActivationContext(argv[1]);

    // The licence box is handed the resource memory as a string: the text must
    // be followed by its zero inside the resource.
    std::string license = Resource(module, "LICENSE", IDR_LICENSE);
    Check(license == ReadFile(argv[2]) + '\0', "licence is the text file and a zero byte", std::to_string(license.size()));

    std::string payload = Resource(module, "BINARY", IDR_PAYLOAD);
    Check(!payload.empty() && payload == ReadFile(argv[3]), "payload is the packed file");
    Check(CheckPayload((const unsigned char *)payload.data(), payload.size()), "payload is whole");
    Check(Resource(module, "BINARY", IDR_PAYLOAD_FORMS) == "stored zstd zstd-frames",
          "payload forms: stored, zstd and zstd in frames");

    // The checksum as Windows's own image helper computes it.
    DWORD stored = 0, computed = 0;
    Check(MapFileAndCheckSumA(argv[1], &stored, &computed) == CHECKSUM_SUCCESS && stored != 0 && stored == computed,
          "image checksum", std::to_string(stored) + " stored, " + std::to_string(computed) + " computed");

    printf("%s\n", g_failures ? "resource check FAILED" : "resource check passed");
    return g_failures ? 1 : 0;
}
