/* Prints the named program's version record and icon, one "Name=value" line each. */
#include <windows.h>
#include <stdio.h>

static void print_string(const void *info, const wchar_t *name)
{
    wchar_t query[128];
    wchar_t *value = NULL;
    UINT length = 0;
    swprintf(query, 128, L"\\StringFileInfo\\040904B0\\%ls", name);
    if (VerQueryValueW(info, query, (void **)&value, &length) && value)
        printf("%ls=%ls\n", name, value);
    else
        printf("%ls=(missing)\n", name);
}

int wmain(int argc, wchar_t **argv)
{
    DWORD handle = 0, size;
    void *info;
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    HMODULE module;

    if (argc < 2)
        return 2;
    size = GetFileVersionInfoSizeW(argv[1], &handle);
    info = size ? HeapAlloc(GetProcessHeap(), 0, size) : NULL;
    if (!info || !GetFileVersionInfoW(argv[1], 0, size, info)) {
        printf("VersionInfo=(missing)\n");
        return 1;
    }
    if (VerQueryValueW(info, L"\\", (void **)&fixed, &length) && fixed)
        printf("FixedFileVersion=%u.%u.%u.%u\nFixedProductVersion=%u.%u.%u.%u\n",
               (unsigned)HIWORD(fixed->dwFileVersionMS), (unsigned)LOWORD(fixed->dwFileVersionMS),
               (unsigned)HIWORD(fixed->dwFileVersionLS), (unsigned)LOWORD(fixed->dwFileVersionLS),
               (unsigned)HIWORD(fixed->dwProductVersionMS), (unsigned)LOWORD(fixed->dwProductVersionMS),
               (unsigned)HIWORD(fixed->dwProductVersionLS), (unsigned)LOWORD(fixed->dwProductVersionLS));
    print_string(info, L"FileVersion");
    print_string(info, L"ProductVersion");
    print_string(info, L"FileDescription");
    print_string(info, L"ProductName");
    module = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    printf("Icon=%s\n", module && FindResourceW(module, MAKEINTRESOURCEW(1), (LPCWSTR)RT_GROUP_ICON)
                            ? "present" : "missing");
    return 0;
}
