#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static void
report_write_error (int error_number)
{
  g_printerr ("Error: cannot write to standard output: %s\n",
              g_strerror (error_number));
}

gboolean
stdout_is_open (void)
{
  int flags = fcntl (STDOUT_FILENO, F_GETFL);

  if (flags != -1 && (flags & O_ACCMODE) != O_RDONLY)
    return TRUE;
  report_write_error (EBADF);
  return FALSE;
}

int
write_whole (int fd, const char *text)
{
  size_t length = strlen (text);

  while (length > 0)
    {
      ssize_t written = write (fd, text, length);

      if (written < 0 && errno == EINTR)
        continue;
      if (written < 0)
        return errno;
      text += written;
      length -= written;
    }
  return 0;
}

int
write_stdout (const char *text)
{
  size_t length = strlen (text);
  /* One write for a line, so a reader never sees part of it. */
  ssize_t written = write (STDOUT_FILENO, text, length);
  int error = 0;

  /* A line that waits for the reader gives way to a signal that ends the
   * monitor, whose handler then runs. */
  if (written < 0 && errno == EINTR)
    return EINTR;
  if (written < 0)
    error = errno;
  else if ((size_t) written < length)
    error = write_whole (STDOUT_FILENO, text + written);
  if (error != 0)
    report_write_error (error);
  return error;
}

/* Creates a temporary file beside path, readable by every user whatever
 * the umask: what replaces a file is often read by another user.  Returns
 * its descriptor, or -1 with errno set. */
static int
create_beside (const char *path, gchar **temporary)
{
  int fd;

  *temporary = g_strconcat (path, ".XXXXXX", NULL);
  fd = g_mkstemp_full (*temporary, O_WRONLY | O_CLOEXEC, 0644);
  if (fd >= 0 && fchmod (fd, 0644) != 0)
    {
      int error = errno;

      close (fd);
      unlink (*temporary);
      errno = error;
      return -1;
    }
  return fd;
}

/* Only a regular file is replaced: a rename over a device, a pipe or a
 * link would take its place, /dev/null's say, for every program. */
static int
check_regular (const char *path)
{
  struct stat status;

  if (lstat (path, &status) != 0)
    return errno == ENOENT ? 0 : errno;
  return S_ISREG (status.st_mode) ? 0 : NOT_A_REGULAR_FILE;
}

const char *
file_error_text (int error)
{
  if (error == NOT_A_REGULAR_FILE)
    return "not a regular file";
  return g_strerror (error);
}

/* Starts replacing path, which must be a regular file or none, with a
 * temporary file beside it.  Returns its descriptor, or -1 with *error
 * set; *temporary is NULL or to be freed. */
static int
begin_replacing (const char *path, gchar **temporary, int *error)
{
  int fd;

  *temporary = NULL;
  *error = check_regular (path);
  if (*error != 0)
    return -1;
  fd = create_beside (path, temporary);
  if (fd < 0)
    *error = errno;
  return fd;
}

int
check_replaceable (const char *path)
{
  gchar *temporary;
  int error;
  int fd = begin_replacing (path, &temporary, &error);

  if (fd >= 0)
    {
      close (fd);
      unlink (temporary);
    }
  g_free (temporary);
  return error;
}

int
replace_file (const char *path, const char *text)
{
  gchar *temporary;
  int error;
  int fd = begin_replacing (path, &temporary, &error);

  if (error == 0)
    error = write_whole (fd, text);
  if (fd >= 0 && close (fd) != 0 && error == 0)
    error = errno;
  if (error == 0 && rename (temporary, path) != 0)
    error = errno;
  if (error != 0 && fd >= 0)
    unlink (temporary);
  g_free (temporary);
  return error;
}
