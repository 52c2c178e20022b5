// keysecurity KEY [SDDL]: prints the access rules (the DACL, as SDDL) of
// HKEY_LOCAL_MACHINE\KEY in the 64-bit view, or replaces them with SDDL.
// The Wine stage's one helper: no tool of Wine's reads or sets them.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <sddl.h>

#include <cstdio>

int wmain(int argc, wchar_t* argv[])
{
    if (argc != 2 && argc != 3) {
        std::fputs("usage: keysecurity KEY [SDDL]\n", stderr);
        return 2;
    }
    const bool set = argc == 3;
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0,
                                (set ? WRITE_DAC : READ_CONTROL) | KEY_WOW64_64KEY, &key);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* text = nullptr;
    const auto failure = [] { return static_cast<LONG>(GetLastError()); };
    if (result == ERROR_SUCCESS && set) {
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[2], SDDL_REVISION_1,
                                                                 &descriptor, nullptr))
            result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        else
            result = failure();
    } else if (result == ERROR_SUCCESS) {
        // Room for far more entries than a key has; too few is reported.
        DWORD size = 4096;
        descriptor = LocalAlloc(LPTR, size);
        result = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor, &size);
        if (result == ERROR_SUCCESS)
            if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
                    descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
                result = failure();
    }
    if (text != nullptr)
        std::printf("%ls\n", text);
    LocalFree(text);
    LocalFree(descriptor);
    if (key != nullptr)
        RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        std::fprintf(stderr, "keysecurity: error %ld\n", result);
    return result == ERROR_SUCCESS ? 0 : 1;
}
