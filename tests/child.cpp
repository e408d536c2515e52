#include "child.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

int
remaining_ms (Clock::time_point deadline)
{
  auto left = std::chrono::duration_cast<std::chrono::milliseconds> (
      deadline - Clock::now ());
  return left.count () > 0 ? (int) left.count () : 0;
}

// Appends what can be read from fd; false at end of file.
bool
drain (int fd, std::string &into)
{
  char buffer[4096];
  ssize_t n = read (fd, buffer, sizeof buffer);
  if (n > 0)
    into.append (buffer, n);
  return n > 0 || (n < 0 && errno == EINTR);
}

int
decode (int status)
{
  return WIFEXITED (status) ? WEXITSTATUS (status) : 128 + WTERMSIG (status);
}

} // namespace

Child::Child (const std::vector<std::string> &argv,
              const std::vector<std::string> &env, int stdin_fd)
{
  int out[2], err[2];

  if (pipe2 (out, O_CLOEXEC) != 0 || pipe2 (err, O_CLOEXEC) != 0)
    abort ();
  pid_ = fork ();
  if (pid_ == 0)
    {
      std::vector<char *> args;
      for (const auto &arg : argv)
        args.push_back (const_cast<char *> (arg.c_str ()));
      args.push_back (nullptr);
      for (const auto &entry : env)
        putenv (const_cast<char *> (entry.c_str ()));
      if (stdin_fd >= 0)
        dup2 (stdin_fd, STDIN_FILENO);
      dup2 (out[1], STDOUT_FILENO);
      dup2 (err[1], STDERR_FILENO);
      execvp (args[0], args.data ());
      _exit (127);
    }
  close (out[1]);
  close (err[1]);
  out_ = out[0];
  err_ = err[0];
}

Child::~Child ()
{
  if (pid_ > 0)
    {
      kill (pid_, SIGTERM);
      waitpid (pid_, nullptr, 0);
    }
  close (out_);
  close (err_);
}

bool
Child::read_line (std::string &line, int timeout_ms)
{
  auto deadline = Clock::now () + std::chrono::milliseconds (timeout_ms);
  size_t end;

  while ((end = pending_.find ('\n')) == std::string::npos)
    {
      struct pollfd ready = { out_, POLLIN, 0 };
      if (poll (&ready, 1, remaining_ms (deadline)) <= 0
          || !drain (out_, pending_))
        return false;
    }
  line = pending_.substr (0, end);
  pending_.erase (0, end + 1);
  return true;
}

int
Child::finish (int timeout_ms, std::string &out, std::string &err)
{
  auto deadline = Clock::now () + std::chrono::milliseconds (timeout_ms);
  struct pollfd fds[2] = { { out_, POLLIN, 0 }, { err_, POLLIN, 0 } };
  std::string *into[2] = { &out, &err };
  int status;

  out = pending_;
  pending_.clear ();
  while (fds[0].fd >= 0 || fds[1].fd >= 0)
    {
      if (poll (fds, 2, remaining_ms (deadline)) <= 0)
        return -1;
      for (int i = 0; i < 2; i++)
        if (fds[i].revents != 0 && !drain (fds[i].fd, *into[i]))
          fds[i].fd = -1;
    }
  while (waitpid (pid_, &status, WNOHANG) == 0)
    {
      if (remaining_ms (deadline) == 0)
        return -1;
      usleep (10000);
    }
  pid_ = -1;
  return decode (status);
}

Outcome
run (const std::vector<std::string> &argv,
     const std::vector<std::string> &env, int timeout_ms)
{
  Child child (argv, env);
  Outcome outcome;

  outcome.status = child.finish (timeout_ms, outcome.out, outcome.err);
  return outcome;
}
