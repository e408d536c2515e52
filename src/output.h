#ifndef OUTPUT_H
#define OUTPUT_H

#include <glib.h>

/* Whether stdout is open for writing; if not, prints the same error as
 * write_stdout.  A closed stdout would be taken by the first file that
 * GStreamer or ALSA opens, and the lines would be written into that. */
gboolean stdout_is_open (void);

/* Writes text whole to fd; returns 0, or the system's error number. */
int write_whole (int fd, const char *text);

/* Writes text whole to stdout.  Returns 0; EINTR when a signal came
 * before a byte was written; or, once it has printed "Error: cannot write
 * to standard output: " and the system's reason on stderr, the system's
 * error number. */
int write_stdout (const char *text);

/* What the functions below return for a path that is there but is not a
 * regular file, which they never replace. */
#define NOT_A_REGULAR_FILE (-1)

/* The reason for an error that the functions below return. */
const char *file_error_text (int error);

/* Whether path could be replaced now, tried with a temporary file beside
 * it that is removed again; the file itself is left alone.  Returns 0, or
 * the system's error number. */
int check_replaceable (const char *path);

/* Replaces path whole with text, through a temporary file in the same
 * folder, mode 0644, renamed over it: a reader sees the old file or the
 * new one, never part of either.  Returns 0, or the system's error
 * number. */
int replace_file (const char *path, const char *text);

#endif
