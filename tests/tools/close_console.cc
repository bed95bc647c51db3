// Windows test tool: runs a program and, once the file MARKER exists, closes its console
// as Windows does: the program's console handlers run on a new thread of it with the
// close event, and as soon as they return the process is ended.
//
//   close_console MARKER PROGRAM [ARGS...]
//
// Exits with 0 when the handlers ran and returned, 2 on a failure of its own.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: close_console MARKER PROGRAM [ARGS...]\n");
        return 2;
    }
    std::string command;
    for (int i = 2; i < argc; ++i) command += std::string(i > 2 ? " \"" : "\"") + argv[i] + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "close_console: cannot start %s\n", argv[2]);
        return 2;
    }
    while (GetFileAttributesA(argv[1]) == INVALID_FILE_ATTRIBUTES) {
        if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) {
            std::fprintf(stderr, "close_console: the program ended before its console was closed\n");
            return 2;
        }
    }
    // The routine through which the console delivers its events to a process.
    HMODULE base = GetModuleHandleA("kernelbase.dll");
    FARPROC routine = base != nullptr ? GetProcAddress(base, "CtrlRoutine") : nullptr;
    if (routine == nullptr) routine = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine");
    if (routine == nullptr) {
        std::fprintf(stderr, "close_console: no console routine to call\n");
        TerminateProcess(process.hProcess, 2);
        return 2;
    }
    HANDLE handler = CreateRemoteThread(process.hProcess, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(routine),
                                        reinterpret_cast<void*>(static_cast<ULONG_PTR>(CTRL_CLOSE_EVENT)), 0, nullptr);
    if (handler == nullptr) {
        std::fprintf(stderr, "close_console: cannot run the handlers\n");
        TerminateProcess(process.hProcess, 2);
        return 2;
    }
    WaitForSingleObject(handler, 20000);
    // STATUS_CONTROL_C_EXIT, as a closed console ends a process.
    TerminateProcess(process.hProcess, 0xC000013A);
    WaitForSingleObject(process.hProcess, INFINITE);
    return 0;
}
