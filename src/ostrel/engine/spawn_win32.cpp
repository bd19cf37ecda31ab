// Child processes on Windows: CreateProcessW in a job object of their own
// (the process group of POSIX: a kill ends the program and what it started),
// standard input and output on named pipes whose server ends the engine
// reads and writes with overlapped calls, so that a wait has a deadline and
// gives way to a stop. The child inherits its three standard handles only.
#include "ostrel/engine/spawn.h"

#include <windows.h>
#include <io.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ostrel/engine/io.h"

namespace {

std::atomic<int> g_cgi_timeout_ms{60000};
std::atomic<unsigned> g_pipe_counter{0};

// A stop is seen within this long while a wait for the child goes on.
const DWORD STOP_SLICE_MS = 50;

int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MARKED_INVALID:
      return ENOEXEC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

std::wstring widen(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// One argument as the C runtime's parser reads it back.
void append_quoted(std::string* line, const char* arg) {
  if (*arg != '\0' && std::strpbrk(arg, " \t\n\v\"") == nullptr) {
    *line += arg;
    return;
  }
  *line += '"';
  for (const char* p = arg;; p++) {
    size_t backslashes = 0;
    while (*p == '\\') {
      p++;
      backslashes++;
    }
    if (*p == '\0') {
      line->append(backslashes * 2, '\\');
      break;
    }
    if (*p == '"') {
      line->append(backslashes * 2 + 1, '\\');
    } else {
      line->append(backslashes, '\\');
    }
    *line += *p;
  }
  *line += '"';
}

HANDLE handle_of(int fd) { return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

void close_fd(int* fd) {
  if (*fd >= 0) _close(*fd);
  *fd = -1;
}

void close_handle(HANDLE* h) {
  if (*h != nullptr && *h != INVALID_HANDLE_VALUE) CloseHandle(*h);
  *h = nullptr;
}

// A pipe: the engine's end overlapped and not inherited, the child's end
// inherited. INBOUND: the engine reads.
bool make_pipe(bool inbound, HANDLE* engine_end, HANDLE* child_end) {
  char name[96];
  std::snprintf(name, sizeof(name), "\\\\.\\pipe\\ostrel-child-%lu-%u", GetCurrentProcessId(),
                g_pipe_counter.fetch_add(1));
  *engine_end = CreateNamedPipeA(name, (inbound ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
                                           FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536, 65536, 0, nullptr);
  if (*engine_end == INVALID_HANDLE_VALUE) {
    *engine_end = nullptr;
    return false;
  }
  SECURITY_ATTRIBUTES inherited = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  *child_end = CreateFileA(name, inbound ? GENERIC_WRITE : GENERIC_READ, 0, &inherited, OPEN_EXISTING, 0, nullptr);
  if (*child_end == INVALID_HANDLE_VALUE) {
    *child_end = nullptr;
    close_handle(engine_end);
    return false;
  }
  return true;
}

// Waits for the overlapped call on H by DEADLINE_MS; a stopping engine or
// the deadline cancels it. The bytes moved, 0 at the end of the pipe, -1.
int finish_io(EngineContext* ctx, HANDLE h, OVERLAPPED* io, BOOL started, int64_t deadline_ms) {
  DWORD n = 0;
  if (!started) {
    DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
    if (error != ERROR_IO_PENDING) return -1;
    for (;;) {
      int64_t left = deadline_ms - monotonic_ms();
      bool stop = ctx != nullptr && ctx->stop_flag.load() != 0;
      if (left <= 0 || stop) {
        CancelIo(h);
        if (GetOverlappedResult(h, io, &n, TRUE)) return static_cast<int>(n);
        return -1;
      }
      DWORD slice = left < static_cast<int64_t>(STOP_SLICE_MS) ? static_cast<DWORD>(left) : STOP_SLICE_MS;
      if (WaitForSingleObject(io->hEvent, slice) == WAIT_OBJECT_0) break;
    }
  }
  if (!GetOverlappedResult(h, io, &n, FALSE)) {
    DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return static_cast<int>(n);
}

// Waits for PROCESS to end by DEADLINE_MS, or until the engine stops.
bool wait_for_end(EngineContext* ctx, HANDLE process, int64_t deadline_ms) {
  for (;;) {
    int64_t left = deadline_ms - monotonic_ms();
    if (left <= 0 || (ctx != nullptr && ctx->stop_flag.load() != 0)) return false;
    DWORD slice = left < static_cast<int64_t>(STOP_SLICE_MS) ? static_cast<DWORD>(left) : STOP_SLICE_MS;
    if (WaitForSingleObject(process, slice) == WAIT_OBJECT_0) return true;
  }
}

}  // namespace

void mg_set_cgi_timeout_ms(int ms) { g_cgi_timeout_ms.store(ms > 0 ? ms : 1); }
int cgi_timeout_ms() { return g_cgi_timeout_ms.load(); }

int spawn_process(char* const argv[], char* const envp[], const char* dir, int want_input, ChildProcess* child) {
  child->pid = -1;
  child->in_fd = child->out_fd = -1;
  child->process = child->group = nullptr;

  std::string line;
  for (int i = 0; argv[i] != nullptr; i++) {
    if (i > 0) line += ' ';
    append_quoted(&line, argv[i]);
  }
  std::wstring environment;
  for (int i = 0; envp != nullptr && envp[i] != nullptr; i++) {
    environment += widen(envp[i]);
    environment += L'\0';
  }
  environment += L'\0';

  HANDLE out_engine = nullptr, out_child = nullptr, in_engine = nullptr, in_child = nullptr, err_child = nullptr;
  SECURITY_ATTRIBUTES inherited = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  bool piped = make_pipe(true, &out_engine, &out_child);
  if (piped && want_input) {
    piped = make_pipe(false, &in_engine, &in_child);
  } else if (piped) {
    in_child = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0,
                           nullptr);
    piped = in_child != INVALID_HANDLE_VALUE;
    if (!piped) in_child = nullptr;
  }
  // Standard error is the engine's own, as an inheritable copy.
  HANDLE own_err = GetStdHandle(STD_ERROR_HANDLE);
  if (piped && own_err != nullptr && own_err != INVALID_HANDLE_VALUE) {
    DuplicateHandle(GetCurrentProcess(), own_err, GetCurrentProcess(), &err_child, 0, TRUE, DUPLICATE_SAME_ACCESS);
  }
  if (!piped) {
    int err = errno_of(GetLastError());
    HANDLE* handles[] = {&out_engine, &out_child, &in_engine, &in_child, &err_child};
    for (HANDLE* h : handles) close_handle(h);
    errno = err == EIO ? EMFILE : err;
    return -1;
  }

  // Only the three standard handles are inherited, as close_range leaves
  // only them to a POSIX child.
  HANDLE inherit[3] = {in_child, out_child, err_child};
  DWORD inherit_count = err_child != nullptr ? 3 : 2;
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  LPPROC_THREAD_ATTRIBUTE_LIST list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(std::malloc(list_size));
  bool listed = list != nullptr && InitializeProcThreadAttributeList(list, 1, 0, &list_size) &&
                UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                          inherit_count * sizeof(HANDLE), nullptr, nullptr);

  STARTUPINFOEXW startup;
  std::memset(&startup, 0, sizeof(startup));
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = in_child;
  startup.StartupInfo.hStdOutput = out_child;
  startup.StartupInfo.hStdError = err_child;
  startup.lpAttributeList = listed ? list : nullptr;

  std::wstring wide_line = widen(line);
  std::wstring wide_dir = dir != nullptr ? widen(dir) : std::wstring();
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof(info));
  DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW |
                (listed ? EXTENDED_STARTUPINFO_PRESENT : 0);
  BOOL created = CreateProcessW(nullptr, &wide_line[0], nullptr, nullptr, TRUE, flags, &environment[0],
                                dir != nullptr ? wide_dir.c_str() : nullptr, &startup.StartupInfo, &info);
  DWORD create_error = GetLastError();
  if (listed) DeleteProcThreadAttributeList(list);
  std::free(list);
  close_handle(&out_child);
  close_handle(&in_child);
  close_handle(&err_child);
  if (!created) {
    close_handle(&out_engine);
    close_handle(&in_engine);
    errno = errno_of(create_error);
    return -2;
  }

  // The job ends with its last handle: a program is never left running.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    std::memset(&limits, 0, sizeof(limits));
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    if (!AssignProcessToJobObject(job, info.hProcess)) close_handle(&job);
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);

  child->pid = static_cast<pid_t>(info.dwProcessId);
  child->process = info.hProcess;
  child->group = job;
  child->out_fd = _open_osfhandle(reinterpret_cast<intptr_t>(out_engine), _O_RDONLY);
  child->in_fd = in_engine != nullptr ? _open_osfhandle(reinterpret_cast<intptr_t>(in_engine), 0) : -1;
  return 0;
}

int read_from_child(EngineContext* ctx, ChildProcess* child, char* buf, int len) {
  HANDLE h = handle_of(child->out_fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED io;
  std::memset(&io, 0, sizeof(io));
  io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (io.hEvent == nullptr) return -1;
  BOOL started = ReadFile(h, buf, static_cast<DWORD>(len), nullptr, &io);
  int n = finish_io(ctx, h, &io, started, monotonic_ms() + cgi_timeout_ms());
  CloseHandle(io.hEvent);
  return n;
}

int64_t write_to_child(EngineContext* ctx, ChildProcess* child, const char* data, int len) {
  HANDLE h = handle_of(child->in_fd);
  if (h == INVALID_HANDLE_VALUE) return 0;
  OVERLAPPED io;
  std::memset(&io, 0, sizeof(io));
  io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (io.hEvent == nullptr) return 0;
  int written = 0;
  while (written < len) {
    ResetEvent(io.hEvent);
    BOOL started = WriteFile(h, data + written, static_cast<DWORD>(len - written), nullptr, &io);
    int n = finish_io(ctx, h, &io, started, monotonic_ms() + cgi_timeout_ms());
    if (n <= 0) break;
    written += n;
  }
  CloseHandle(io.hEvent);
  return written;
}

void close_child_input(ChildProcess* child) { close_fd(&child->in_fd); }

void reap_child(EngineContext* ctx, ChildProcess* child, int kill_now) {
  close_fd(&child->in_fd);
  close_fd(&child->out_fd);
  HANDLE process = static_cast<HANDLE>(child->process);
  HANDLE job = static_cast<HANDLE>(child->group);
  child->pid = -1;
  child->process = child->group = nullptr;
  if (process == nullptr) return;
  bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  if (!ended && !kill_now) ended = wait_for_end(ctx, process, monotonic_ms() + cgi_timeout_ms());
  if (!ended) {
    if (job != nullptr) TerminateJobObject(job, 1);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
  }
  close_handle(&job);
  CloseHandle(process);
}
