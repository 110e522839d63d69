// harness.cpp - works a Windows program from outside: processes, windows, files

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <string.h>

#include "harness.h"

int g_failures;

void Check(bool ok, const char *what, int line, const std::string &detail)
{
    if (ok)
        return;
    g_failures++;
    printf("FAILED line %d: %s%s%s\n", line, what, detail.empty() ? "" : ": ", detail.c_str());
    fflush(stdout);
}

std::string Quote(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text)
    {
        char hex[8];
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c < 0x20) { snprintf(hex, sizeof(hex), "\\x%02X", c); out += hex; }
        else out += (char)c;
    }
    return out + "\"";
}

std::string Quote(long long value)
{
    return std::to_string(value);
}

std::string WinPath(const std::string &path)
{
    if (path.empty() || path[0] != '/')
        return path;
    std::string out = "Z:" + path;
    for (char &c : out)
        if (c == '/')
            c = '\\';
    return out;
}

struct FindContext
{
    DWORD pid;
    const char *windowClass;
    const char *caption;
    std::vector<HWND> found;
};

static BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM lParam)
{
    FindContext *context = (FindContext *)lParam;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (context->pid && pid != context->pid)
        return TRUE;
    char text[256];
    if (context->windowClass)
    {
        GetClassNameA(hwnd, text, sizeof(text));
        if (strcmp(text, context->windowClass) != 0)
            return TRUE;
    }
    if (context->caption)
    {
        GetWindowTextA(hwnd, text, sizeof(text));
        if (strcmp(text, context->caption) != 0)
            return TRUE;
    }
    if (IsWindowVisible(hwnd))
        context->found.push_back(hwnd);
    return TRUE;
}

std::vector<HWND> FindWindows(DWORD pid, const char *windowClass, const char *caption)
{
    FindContext context = { pid, windowClass, caption, {} };
    EnumWindows(CollectWindow, (LPARAM)&context);
    return context.found;
}

HWND WaitForWindow(DWORD pid, const char *windowClass, const char *caption, DWORD ms)
{
    DWORD start = GetTickCount();
    do
    {
        std::vector<HWND> found = FindWindows(pid, windowClass, caption);
        if (!found.empty())
            return found[0];
        Sleep(20);
    } while (GetTickCount() - start < ms);
    return NULL;
}

HWND WaitForMessageBox(DWORD pid, const char *caption, DWORD ms)
{
    // Right after a box appears its caption may not be set yet: wait for the text.
    return WaitForWindow(pid, "#32770", caption, ms);
}

std::string WindowText(HWND hwnd)
{
    char text[8192] = "";
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof(text), (LPARAM)text, SMTO_NORMAL, WAIT_MS, &result))
        return "<no answer>";
    text[sizeof(text) - 1] = 0;
    return text;
}

std::string ItemText(HWND dialog, int id)
{
    return WindowText(GetDlgItem(dialog, id));
}

static BOOL CALLBACK FindBoxText(HWND hwnd, LPARAM lParam)
{
    char cls[64];
    GetClassNameA(hwnd, cls, sizeof(cls));
    // The box's text is the static control that is not its icon.
    if (_stricmp(cls, "Static") == 0 && !(GetWindowLongA(hwnd, GWL_STYLE) & SS_ICON))
    {
        *(std::string *)lParam = WindowText(hwnd);
        return FALSE;
    }
    return TRUE;
}

std::string MessageBoxText(HWND box)
{
    std::string text;
    EnumChildWindows(box, FindBoxText, (LPARAM)&text);
    return text;
}

void PressOk(HWND box)
{
    PressButton(box, IDOK);
}

void PressButton(HWND box, int id)
{
    HWND button = GetDlgItem(box, id);
    if (button)
        PostMessageA(button, BM_CLICK, 0, 0);
    else
        PostMessageA(box, WM_COMMAND, id, 0);
    DWORD start = GetTickCount();
    while (IsWindow(box) && IsWindowVisible(box) && GetTickCount() - start < WAIT_MS)
        Sleep(20);
}

HWND FocusOf(HWND window)
{
    GUITHREADINFO info = { sizeof(info) };
    DWORD thread = GetWindowThreadProcessId(window, NULL);
    if (!GetGUIThreadInfo(thread, &info))
        return NULL;
    return info.hwndFocus;
}

bool IsRunning(const char *exeName)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32 entry = { sizeof(entry) };
    bool found = false;
    for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry))
        found = _stricmp(entry.szExeFile, exeName) == 0;
    CloseHandle(snapshot);
    return found;
}

std::wstring WidePath(const std::string &path)
{
    UINT codePage = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, NULL, 0) ? CP_UTF8 : CP_ACP;
    std::vector<wchar_t> wide(path.size() + 1);
    MultiByteToWideChar(codePage, 0, path.c_str(), -1, wide.data(), (int)wide.size());
    return wide.data();
}

bool StartProgram(Program *program, const std::string &exe, const std::string &args,
                  const char *windowClass, const char *caption)
{
    std::wstring exeW = WidePath(exe), commandLine = L"\"" + exeW + L"\"" + (args.empty() ? L"" : L" " + WidePath(args));
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(0);
    STARTUPINFOW si = { sizeof(si) };
    memset(program, 0, sizeof(*program));
    if (!CreateProcessW(exeW.c_str(), buffer.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &program->pi))
    {
        Check(false, "CreateProcessW", __LINE__, exe + " error " + std::to_string(GetLastError()));
        return false;
    }
    program->hwnd = WaitForWindow(program->pi.dwProcessId, windowClass, caption);
    Check(program->hwnd != NULL, "window appears", __LINE__, caption);
    if (!program->hwnd)
        KillProgram(program);
    return program->hwnd != NULL;
}

long WaitForExit(Program *program, DWORD ms)
{
    if (!program->pi.hProcess)
        return -1;
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(program->pi.hProcess, ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(program->pi.hProcess, &code);
    else
        TerminateProcess(program->pi.hProcess, 255);
    CloseHandle(program->pi.hThread);
    CloseHandle(program->pi.hProcess);
    memset(&program->pi, 0, sizeof(program->pi));
    return (long)code;
}

void KillProgram(Program *program)
{
    if (program->pi.hProcess)
    {
        TerminateProcess(program->pi.hProcess, 255);
        WaitForExit(program, 5000);
    }
}

std::string ReadWholeFile(const std::string &path, bool *ok)
{
    std::string data;
    FILE *file = fopen(path.c_str(), "rb");
    if (ok)
        *ok = file != NULL;
    if (!file)
        return data;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0)
        data.append(chunk, n);
    fclose(file);
    return data;
}

bool WriteWholeFile(const std::string &path, const std::string &data)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), file) == data.size();
    return fclose(file) == 0 && ok;
}

bool SameFiles(const std::string &a, const std::string &b)
{
    FILE *fa = fopen(a.c_str(), "rb");
    FILE *fb = fopen(b.c_str(), "rb");
    bool same = fa && fb;
    static char chunkA[1 << 20], chunkB[1 << 20];
    while (same)
    {
        size_t na = fread(chunkA, 1, sizeof(chunkA), fa);
        size_t nb = fread(chunkB, 1, sizeof(chunkB), fb);
        same = na == nb && memcmp(chunkA, chunkB, na) == 0;
        if (na == 0)
            break;
    }
    if (fa)
        fclose(fa);
    if (fb)
        fclose(fb);
    return same;
}

bool FileExists(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::string &path)
{
    std::string folder = path;
    while (folder.size() > 3 && folder.back() == '\\')
        folder.pop_back();
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    {
        SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(folder.c_str());
        return;
    }
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (strcmp(found.cFileName, ".") && strcmp(found.cFileName, ".."))
                RemoveTree(folder + "\\" + found.cFileName);
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

std::vector<std::string> ListFiles(const std::string &folder)
{
    std::vector<std::string> files;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return files;
    do
    {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(found.cFileName);
        else if (strcmp(found.cFileName, ".") && strcmp(found.cFileName, ".."))
            for (const std::string &below : ListFiles(folder + found.cFileName + "\\"))
                files.push_back(std::string(found.cFileName) + "\\" + below);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return files;
}

std::string DesktopFolder()
{
    char path[MAX_PATH] = "";
    SHGetFolderPathA(NULL, CSIDL_DESKTOPDIRECTORY, NULL, 0, path);
    return std::string(path) + "\\";
}

std::string LinkTarget(const std::string &lnk)
{
    std::string target;
    WCHAR wide[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, lnk.c_str(), -1, wide, MAX_PATH))
        return target;
    IShellLinkA *link = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void **)&link)))
        return target;
    IPersistFile *file = NULL;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file)))
    {
        char path[MAX_PATH] = "";
        if (SUCCEEDED(file->Load(wide, STGM_READ)) && SUCCEEDED(link->GetPath(path, MAX_PATH, NULL, SLGP_RAWPATH)))
            target = path;
        file->Release();
    }
    link->Release();
    return target;
}

bool MakeSetupVariant(const std::string &src, const std::string &payloadFile, const std::string &dst)
{
    bool ok = false;
    std::string payload = ReadWholeFile(payloadFile, &ok);
    if (!ok || !CopyFileA(src.c_str(), dst.c_str(), FALSE))
        return false;
    const WORD language = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK);
    HANDLE update = BeginUpdateResourceA(dst.c_str(), FALSE);
    if (!update)
        return false;
    // The old payload goes first, then the new one is added under the same name.
    ok = UpdateResourceA(update, "BINARY", MAKEINTRESOURCEA(115), language, NULL, 0) &&
         UpdateResourceA(update, "BINARY", MAKEINTRESOURCEA(115), language,
                         (void *)payload.data(), (DWORD)payload.size());
    return EndUpdateResourceA(update, !ok) && ok;
}

bool CaptureScreen(Screen *screen)
{
    screen->width = GetSystemMetrics(SM_CXSCREEN);
    screen->height = GetSystemMetrics(SM_CYSCREEN);
    screen->pixels.assign((size_t)screen->width * screen->height, 0);
    HDC hdcScreen = GetDC(NULL);
    HDC hdcMem = CreateCompatibleDC(hdcScreen);
    HBITMAP hbm = CreateCompatibleBitmap(hdcScreen, screen->width, screen->height);
    HGDIOBJ old = SelectObject(hdcMem, hbm);
    BOOL copied = BitBlt(hdcMem, 0, 0, screen->width, screen->height, hdcScreen, 0, 0, SRCCOPY);
    SelectObject(hdcMem, old);
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = screen->width;
    bmi.bmiHeader.biHeight = -screen->height;   // top-down rows
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    int rows = GetDIBits(hdcMem, hbm, 0, screen->height, screen->pixels.data(), &bmi, DIB_RGB_COLORS);
    DeleteObject(hbm);
    DeleteDC(hdcMem);
    ReleaseDC(NULL, hdcScreen);
    for (DWORD &pixel : screen->pixels)
        pixel &= 0xFFFFFF;
    return copied && rows == screen->height;
}

bool SaveScreen(const Screen &screen, const std::string &bmpPath)
{
    BITMAPFILEHEADER file = {};
    BITMAPINFOHEADER info = {};
    DWORD cbPixels = (DWORD)(screen.pixels.size() * 4);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + cbPixels;
    info.biSize = sizeof(info);
    info.biWidth = screen.width;
    info.biHeight = -screen.height;
    info.biPlanes = 1;
    info.biBitCount = 32;
    info.biCompression = BI_RGB;
    std::string data((const char *)&file, sizeof(file));
    data.append((const char *)&info, sizeof(info));
    data.append((const char *)screen.pixels.data(), cbPixels);
    return WriteWholeFile(bmpPath, data);
}
