/*
 * Prints the version resource of a DLL or program the way installers and Explorer read it
 * (GetFileVersionInfoW, VerQueryValueW): the fixed file and product versions, then the US English
 * texts, one "NAME=VALUE" line each, in UTF-8.
 *
 *   version_info.exe FILE
 */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static void print_text(void* info, const wchar_t* name) {
    wchar_t query[128];
    swprintf(query, 128, L"\\StringFileInfo\\040904B0\\%ls", name);
    wchar_t* value = NULL;
    UINT length = 0;
    char utf8[512] = "";
    if (VerQueryValueW(info, query, (void**)&value, &length) && length > 0)
        WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8, (int)sizeof utf8, NULL, NULL);
    printf("%ls=%s\n", name, utf8);
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fputs("usage: version_info FILE\n", stderr);
        return 2;
    }
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(argv[1], &handle);
    void* info = size ? malloc(size) : NULL;
    if (!info || !GetFileVersionInfoW(argv[1], 0, size, info)) {
        fprintf(stderr, "version_info: no version resource (error %lu)\n", GetLastError());
        return 1;
    }
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (!VerQueryValueW(info, L"\\", (void**)&fixed, &length) || length < sizeof *fixed ||
        fixed->dwSignature != 0xFEEF04BD) {
        fputs("version_info: no fixed file information\n", stderr);
        return 1;
    }
    printf("file_version=%lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
           fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16,
           fixed->dwFileVersionLS & 0xFFFF);
    printf("product_version=%lu.%lu.%lu.%lu\n", fixed->dwProductVersionMS >> 16,
           fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
           fixed->dwProductVersionLS & 0xFFFF);
    printf("file_type=%lu\n", fixed->dwFileType);
    static const wchar_t* const names[] = {
        L"FileVersion",    L"ProductVersion",   L"ProductName", L"FileDescription",
        L"LegalCopyright", L"OriginalFilename", L"CompanyName"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        print_text(info, names[i]);
    free(info);
    return 0;
}
