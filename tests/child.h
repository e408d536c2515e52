#ifndef CHILD_H
#define CHILD_H

#include <string>
#include <sys/types.h>
#include <vector>

// A process started by a test, with its stdout and stderr on pipes.  The
// destructor stops it by its process id, so nothing outlives a failed test.
class Child
{
public:
  // env holds "NAME=VALUE" entries set on top of the test's environment.
  Child (const std::vector<std::string> &argv,
         const std::vector<std::string> &env = {}, int stdin_fd = -1);
  ~Child ();
  Child (const Child &) = delete;
  Child &operator= (const Child &) = delete;

  // The read end of the child's stdout, to feed another child.
  int stdout_fd () const { return out_; }

  pid_t pid () const { return pid_; }

  // Next stdout line without its line feed; false when none came in time.
  bool read_line (std::string &line, int timeout_ms);

  // Reads stdout and stderr to their end and reaps the child.  Returns the
  // exit status, 128 + the signal that ended it, or -1 on time-out.
  int finish (int timeout_ms, std::string &out, std::string &err);

private:
  pid_t pid_;
  int out_;
  int err_;
  std::string pending_;
};

struct Outcome
{
  int status;
  std::string out;
  std::string err;
};

// Runs a command to its end, killing it after timeout_ms (status -1).
Outcome run (const std::vector<std::string> &argv,
             const std::vector<std::string> &env = {}, int timeout_ms = 10000);

#endif
