// The station's processes, pipes and console events on Windows. Anonymous
// pipes cannot be waited on, so a thread per pipe reads it into a buffer and
// signals one event that the station's wait watches.
#include "processes.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace korvin {

namespace {

// Signalled whenever a reader thread has news or a stop was requested.
HANDLE activity = CreateEventA(nullptr, FALSE, FALSE, nullptr);
volatile LONG stop_flag = 0;

// One pipe read by a thread of its own.
struct pipe_reader {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    CRITICAL_SECTION lock;
    std::string pending;
    bool ended = false;

    pipe_reader() { InitializeCriticalSection(&lock); }
    ~pipe_reader() { DeleteCriticalSection(&lock); }
};

DWORD WINAPI read_pipe(void* context) {
    pipe_reader* reader = static_cast<pipe_reader*>(context);
    char buffer[4096];
    for (;;) {
        DWORD count = 0;
        const BOOL ok = ReadFile(reader->pipe, buffer, sizeof buffer, &count, nullptr);
        EnterCriticalSection(&reader->lock);
        if (ok && count > 0)
            reader->pending.append(buffer, count);
        else if (!ok || GetFileType(reader->pipe) != FILE_TYPE_CHAR)
            reader->ended = true; // a console gives 0 bytes for an empty line
        const bool ended = reader->ended;
        LeaveCriticalSection(&reader->lock);
        SetEvent(activity);
        if (ended)
            return 0;
    }
}

void start_reader(pipe_reader& reader, HANDLE pipe) {
    reader.pipe = pipe;
    reader.thread = CreateThread(nullptr, 0, read_pipe, &reader, 0, nullptr);
    if (!reader.thread)
        reader.ended = true;
}

// Moves the complete lines out; with the pipe ended, the rest too.
bool take_lines(pipe_reader& reader, std::vector<std::string>& lines) {
    EnterCriticalSection(&reader.lock);
    std::size_t start = 0;
    for (std::size_t end; (end = reader.pending.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::string line = reader.pending.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    reader.pending.erase(0, start);
    const bool ended = reader.ended;
    if (ended && !reader.pending.empty()) {
        lines.push_back(reader.pending);
        reader.pending.clear();
    }
    LeaveCriticalSection(&reader.lock);
    return !ended;
}

pipe_reader* input_reader = nullptr;
DWORD saved_input_mode = 0;
bool input_saved = false;

BOOL WINAPI on_console_event(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        InterlockedExchange(&stop_flag, 1);
        SetEvent(activity);
        return TRUE;
    }
    return FALSE;
}

// One argument as the C run-time's parser reads it back.
std::string quote_argument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

std::string system_text(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result =
        length != 0 && text ? std::string(text, length) : "error " + std::to_string(error);
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    return result;
}

} // namespace

struct child_process {
    PROCESS_INFORMATION process{};
    HANDLE input = INVALID_HANDLE_VALUE;
    pipe_reader output;
    bool ended = false;
    child_exit how;
};

child_process* child_start(const std::vector<std::string>& argv, std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in_read, in_write, out_read, out_write;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0)) {
        error = system_text(GetLastError());
        return nullptr;
    }
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) {
        error = system_text(GetLastError());
        CloseHandle(in_read);
        CloseHandle(in_write);
        return nullptr;
    }
    // Only the child's ends are inherited.
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = null;
    std::string command;
    for (const std::string& arg : argv)
        command += (command.empty() ? "" : " ") + quote_argument(arg);
    child_process* child = new child_process;
    // A group of its own: CTRL_BREAK to that group stops it alone, and the
    // console's CTRL-C reaches only the station.
    const BOOL started =
        CreateProcessA(argv[0].c_str(), &command[0], nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &child->process);
    const DWORD failure = GetLastError();
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (null != INVALID_HANDLE_VALUE)
        CloseHandle(null);
    if (!started) {
        error = system_text(failure);
        CloseHandle(in_write);
        CloseHandle(out_read);
        delete child;
        return nullptr;
    }
    child->input = in_write;
    start_reader(child->output, out_read);
    return child;
}

bool child_write(child_process* child, const std::string& text) {
    DWORD written = 0;
    return WriteFile(child->input, text.data(), static_cast<DWORD>(text.size()), &written,
                     nullptr) &&
           written == text.size();
}

bool child_read_lines(child_process* child, std::vector<std::string>& lines) {
    return take_lines(child->output, lines);
}

void child_stop(child_process* child) {
    if (!child->ended && !GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child->process.dwProcessId))
        child_kill(child); // no console to send it through
}

void child_kill(child_process* child) {
    if (!child->ended)
        TerminateProcess(child->process.hProcess, 1);
}

bool child_ended(child_process* child, child_exit& how) {
    if (!child->ended) {
        if (WaitForSingleObject(child->process.hProcess, 0) != WAIT_OBJECT_0)
            return false;
        DWORD code = 0;
        GetExitCodeProcess(child->process.hProcess, &code);
        child->ended = true;
        child->how.status = static_cast<int>(code);
    }
    how = child->how;
    return true;
}

void child_release(child_process* child) {
    if (!child)
        return;
    CloseHandle(child->input);
    WaitForSingleObject(child->process.hProcess, INFINITE);
    // The child's end is closed: the reader's ReadFile returns.
    if (child->output.thread) {
        WaitForSingleObject(child->output.thread, INFINITE);
        CloseHandle(child->output.thread);
    }
    CloseHandle(child->output.pipe);
    CloseHandle(child->process.hProcess);
    CloseHandle(child->process.hThread);
    delete child;
}

void wait_for_activity(const std::vector<child_process*>&, bool watch_input, int timeout_ms) {
    if (watch_input && !input_reader) {
        input_reader = new pipe_reader;
        start_reader(*input_reader, GetStdHandle(STD_INPUT_HANDLE));
    }
    if (stop_flag)
        return;
    WaitForSingleObject(activity, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
}

bool input_read_lines(std::vector<std::string>& lines) {
    if (!input_reader) {
        input_reader = new pipe_reader;
        start_reader(*input_reader, GetStdHandle(STD_INPUT_HANDLE));
    }
    return take_lines(*input_reader, lines);
}

void stop_input_echo() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input_saved || !GetConsoleMode(input, &saved_input_mode))
        return;
    if (SetConsoleMode(input, saved_input_mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)))
        input_saved = true;
}

void restore_input_echo() {
    if (input_saved)
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), saved_input_mode);
    input_saved = false;
}

std::string own_executable(const char* argv0) {
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        return std::string(path, n);
    return argv0 ? argv0 : "korvin.exe";
}

void install_stop_handlers() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stop_requested() {
    return stop_flag != 0;
}

bool parent_gone() {
    // Windows keeps no parent link to look at; a station's end closes the
    // pipes, which ends the run at its next event or read of the board line.
    return false;
}

std::FILE* divert_standard_output() {
    std::fflush(stdout);
    const int events = _dup(1);
    const int null = _open("NUL", _O_WRONLY);
    if (events < 0 || null < 0 || _dup2(null, 1) != 0) {
        if (events >= 0)
            _close(events);
        if (null >= 0)
            _close(null);
        return nullptr;
    }
    _close(null);
    return _fdopen(events, "w");
}

bool output_is_terminal() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(output, &mode))
        return false;
    // ANSI sequences need the console's virtual-terminal mode (Windows 10 on).
    const DWORD vt = 0x0004; // ENABLE_VIRTUAL_TERMINAL_PROCESSING
    return (mode & vt) || SetConsoleMode(output, mode | vt);
}

int terminal_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

} // namespace korvin
