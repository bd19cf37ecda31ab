// Child processes for CGI programs and SSI #exec: started with fork and exec
// (spawn.cpp) or CreateProcess in a job object (spawn_win32.cpp), talked to
// through pipes, and always reaped.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "ostrel/engine/engine.h"

// A child that stays silent (no output, no room for input) this long is
// killed with its process group; so is one still running this long after it
// closed its output. 60 seconds; tests shorten it.
void mg_set_cgi_timeout_ms(int ms);
int cgi_timeout_ms();

struct ChildProcess {
  pid_t pid;   // -1 once reaped
  int in_fd;   // the child's standard input, or -1
  int out_fd;  // the child's standard output, or -1
  // Windows: the process and the job that holds it and its own children
  // (what a process group is here); null elsewhere.
  void* process;
  void* group;
};

// Starts ARGV[0] (a path) with ENVP in DIR (null: the current directory), in
// a process group of its own, with standard output on a pipe and standard
// input on a pipe when WANT_INPUT (else /dev/null); the child inherits no
// other descriptor but standard error. Returns 0; -1 when no pipe could be
// made, -2 when the program could not be started (errno says why).
int spawn_process(char* const argv[], char* const envp[], const char* dir, int want_input, ChildProcess* child);

// Reads what the child wrote: bytes read, 0 at its end, -1 on an error, on
// time-out or when the engine stops.
int read_from_child(EngineContext* ctx, ChildProcess* child, char* buf, int len);
// Writes all of DATA to the child's input; returns the bytes written.
int64_t write_to_child(EngineContext* ctx, ChildProcess* child, const char* data, int len);
void close_child_input(ChildProcess* child);

// Closes the pipes and waits for the child to end, killing its process
// group after the time-out or when the engine stops. KILL_NOW kills at once.
void reap_child(EngineContext* ctx, ChildProcess* child, int kill_now);
