#include "level_reporter.h"
#include "metrics.h"
#include "output.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <glib-unix.h>
#include <unistd.h>

#define USAGE "Usage: level-monitor [OPTION...] CARD\n"

/* What the command line asks for, as GOption leaves it. */
typedef struct
{
  gchar *device;              /* --device, or NULL */
  gchar *metrics_file;        /* --metrics-file, or NULL */
  gchar *threshold;           /* --silence-threshold, or NULL */
  gboolean expect;            /* --expect */
  gboolean version;           /* --version */
  gboolean help;              /* --help or -h */
  gchar **cards;              /* every other argument, as given */
} CommandLine;

static int
usage_error (void)
{
  g_printerr (USAGE);
  return 2;
}

static int
print_help (void)
{
  const char *help =
      USAGE
      "Print the peak level of the first channel of ALSA card CARD (hw:CARD),\n"
      "in dB relative to full scale, one line every half second, until killed.\n"
      "CARD is a card's number or id, with an optional ,DEVICE and ,SUBDEVICE:\n"
      "cat /proc/asound/cards lists them, each id in brackets.\n"
      "Options, before or after CARD:\n"
      "  --device DEVICE      capture CARD through the ALSA device DEVICE, not\n"
      "                       hw:CARD: dsnoop:CARD=Studio shares card Studio\n"
      "                       with the programs that capture it so too\n"
      "  --metrics-file FILE  every 5 seconds, rewrite FILE with a histogram of\n"
      "                       the levels printed, for Prometheus\n"
      "  --expect             with --metrics-file: only write FILE as for a card\n"
      "                       expected from now on and not measured yet, and exit\n"
      "  --silence-threshold DBFS\n"
      "                       with --metrics-file: count how long the levels stay\n"
      "                       at or below DBFS (-200 to 0), as at each bound\n"
      "  --version            print the version, and exit\n"
      "  -h, --help           print this help, and exit\n"
      "  --gst-*              GStreamer's own options (gst-launch-1.0 --help-gst)\n";

  return write_stdout (help) == 0 ? 0 : 1;
}

static int
print_version (void)
{
  return write_stdout ("level-monitor " LEVEL_MONITOR_VERSION "\n") == 0 ? 0 : 1;
}

/* The card is spliced into the launch text, so take only what ALSA's hw
 * device does: a number or name, ",DEVICE", ",SUBDEVICE" or KEY=VALUE. */
static gboolean
is_card_identifier (const char *card)
{
  size_t length = strlen (card);

  /* No ALSA card identifier begins with a dash, as an option does: "-",
   * or one given after "--". */
  if (length == 0 || length > 64 || card[0] == '-')
    return FALSE;
  for (size_t i = 0; i < length; i++)
    if (!g_ascii_isalnum (card[i]) && strchr ("_-,=", card[i]) == NULL)
      return FALSE;
  return TRUE;
}

/* ALSA's device names are words, with arguments after a colon, quoted
 * where they must be (plug:'dsnoop:CARD=Studio'): take printable ASCII
 * without blanks, which no terminal or journal line can misshow.  Whether
 * ALSA knows the name, only opening it tells. */
static gboolean
is_device_name (const char *device)
{
  size_t length = strlen (device);

  if (length == 0 || length > 255)
    return FALSE;
  for (size_t i = 0; i < length; i++)
    if (!g_ascii_isgraph (device[i]))
      return FALSE;
  return TRUE;
}

/* A level in dBFS that a line can print: from far below a 24-bit card's
 * quietest step up to full scale. */
static gboolean
parse_threshold (const char *text, double *threshold)
{
  char *end = NULL;

  *threshold = g_ascii_strtod (text, &end);
  return end != text && *end == '\0' && *threshold >= -200
         && *threshold <= 0;
}

static int
invalid_argument (const char *what, const char *value)
{
  gchar *escaped = g_strescape (value, NULL);

  g_printerr ("Invalid %s: %s\n", what, escaped);
  g_free (escaped);
  return 2;
}

/* The first of the elements, or NULL; frees the iterator. */
static GObject *
first_element (GstIterator *elements)
{
  GValue element = G_VALUE_INIT;
  GObject *found = NULL;

  if (gst_iterator_next (elements, &element) == GST_ITERATOR_OK)
    {
      found = G_OBJECT (g_value_dup_object (&element));
      g_value_unset (&element);
    }
  gst_iterator_free (elements);
  return found;
}

/* The card hands its audio over a quarter of a second at a time, rather
 * than GStreamer's 10 ms: each period wakes the capture's threads, and
 * two lines a second need no more.  Half a measurement, so that a period
 * that the card failed to deliver, which GStreamer makes up as silence,
 * is never a whole line.  The buffer holds four periods: audio is lost
 * only when the monitor is kept from running for three quarters of a
 * second.  The sink would wait for each buffer's last sample to be
 * captured, which it has been once the period is read: it renders a
 * period earlier, without a wake-up for it. */
static void
set_capture_periods (GstElement *pipeline, const char *device)
{
  GObject *source = first_element (gst_bin_iterate_sources (GST_BIN (pipeline)));
  GObject *sink = first_element (gst_bin_iterate_sinks (GST_BIN (pipeline)));

  g_object_set (source, "latency-time", (gint64) CAPTURE_PERIOD_US,
                "buffer-time", (gint64) CAPTURE_BUFFER_US, NULL);
  if (device != NULL)
    g_object_set (source, "device", device, NULL);
  g_object_set (sink, "ts-offset", -(gint64) CAPTURE_PERIOD_US * GST_USECOND,
                NULL);
  g_object_unref (source);
  g_object_unref (sink);
}

/* A monitor stopped or killed writes the time of its last level on its
 * way out, so that the pause before the next one counts from that level,
 * not from the rewrite before it; then it ends by the signal, as it would
 * have without. */
static gboolean
save_and_end_by (RunState *run, int signal_number)
{
  if (run->metrics.file != NULL)
    write_metrics (&run->metrics);
  signal (signal_number, SIG_DFL);
  raise (signal_number);
  return G_SOURCE_REMOVE;
}

/* Ends the run by signal_number, with handler, unless the monitor was
 * started with it ignored, as nohup does.  A line that waits for its
 * reader, on a full pipe or a stalled journal, gives way to the signal
 * rather than go on waiting; a second one ends the monitor at once. */
static void
end_by (int signal_number, GSourceFunc handler, RunState *run)
{
  struct sigaction action;

  sigaction (signal_number, NULL, &action);
  if (action.sa_handler == SIG_IGN)
    return;
  g_unix_signal_add (signal_number, handler, run);
  sigaction (signal_number, NULL, &action);
  action.sa_flags = (action.sa_flags & ~SA_RESTART) | SA_RESETHAND;
  sigaction (signal_number, &action, NULL);
}

static gboolean
on_terminate (gpointer run)
{
  return save_and_end_by ((RunState *) run, SIGTERM);
}

static gboolean
on_interrupt (gpointer run)
{
  return save_and_end_by ((RunState *) run, SIGINT);
}

static gboolean
on_hang_up (gpointer run)
{
  return save_and_end_by ((RunState *) run, SIGHUP);
}

/* Runs the capture pipeline on run->metrics.card until the run ends, and
 * returns its status. */
static int
monitor (RunState *run, const char *device)
{
  GError *error = NULL;
  gchar *description;
  GstElement *pipeline;
  GstBus *bus;

  description = g_strconcat ("alsasrc device=hw:", run->metrics.card,
                             " ! audioconvert"
                             " ! level post-messages=true interval=500000000"
                             " ! fakesink sync=true",
                             NULL);
  pipeline = gst_parse_launch (description, &error);
  g_free (description);
  /* A pipeline returned together with an error is only partly built. */
  if (error != NULL)
    {
      g_printerr ("Failed to parse launch: %s\n", error->message);
      g_error_free (error);
      gst_clear_object (&pipeline);
      return -1;
    }

  set_capture_periods (pipeline, device);

  /* A file that cannot be written fails now, not minutes later. */
  if (run->metrics.file != NULL && !check_metrics_file (&run->metrics))
    return 1;
  if (run->metrics.file != NULL)
    resume_metrics_file (&run->metrics);

  run->loop = g_main_loop_new (NULL, FALSE);
  bus = gst_element_get_bus (pipeline);
  gst_bus_add_watch (bus, message_handler, run);
  g_timeout_add (1000, watchdog_tick, run);
  /* Fresh for a scrape every 15 s; the service keeps the file in memory,
   * so the rewrites cost no writes to a small board's SD card. */
  if (run->metrics.file != NULL)
    {
      g_timeout_add_seconds (5, metrics_tick, run);
      end_by (SIGTERM, on_terminate, run);
      end_by (SIGINT, on_interrupt, run);
      end_by (SIGHUP, on_hang_up, run);
    }
  /* The card's audio begins once the pipeline plays, not before. */
  run->audio_origin = g_get_monotonic_time ();
  run->least_origin = G_MAXINT64;
  gst_element_set_state (pipeline, GST_STATE_PLAYING);

  g_main_loop_run (run->loop);

  /* Only a failure ends the loop, and a card stuck in a read can block the
   * pipeline's way down for ever: leave it all to the exit.  The lines
   * printed since the last rewrite are counted too. */
  if (run->metrics.file != NULL)
    write_metrics (&run->metrics);
  return run->status;
}

/* A stream closed at the start would be taken by the next file opened,
 * one of GStreamer's sockets say, and read from or written into: open
 * /dev/null in its place, as daemons do. */
static void
fill_if_closed (int stream, int flags)
{
  int null;

  if (fcntl (stream, F_GETFD) != -1)
    return;
  null = open ("/dev/null", flags);
  /* With stdout closed as well, /dev/null may land there instead. */
  if (null >= 0 && null != stream)
    {
      dup2 (null, stream);
      close (null);
    }
}

/* Writes the metrics file of a card expected from now on and not
 * measured yet: only since when it is expected.  Returns the exit
 * status. */
static int
expect_card (const char *card, const char *file)
{
  Metrics metrics = {};

  metrics.card = card;
  metrics.file = file;
  metrics.last_level_time = g_get_real_time ();
  return write_metrics (&metrics) ? 0 : 1;
}

/* Parses the options, wherever they are, GStreamer's among them, which
 * initialise GStreamer.  On failure prints GOption's reason, when it gives
 * one, and returns FALSE. */
static gboolean
parse_command_line (int *argc, char ***argv, CommandLine *command_line)
{
  GOptionEntry entries[] = {
    { "metrics-file", 0, 0, G_OPTION_ARG_FILENAME,
      &command_line->metrics_file, NULL, NULL },
    { "device", 0, 0, G_OPTION_ARG_FILENAME, &command_line->device, NULL,
      NULL },
    { "expect", 0, 0, G_OPTION_ARG_NONE, &command_line->expect, NULL, NULL },
    { "silence-threshold", 0, 0, G_OPTION_ARG_STRING,
      &command_line->threshold, NULL, NULL },
    { "version", 0, 0, G_OPTION_ARG_NONE, &command_line->version, NULL,
      NULL },
    { "help", 'h', 0, G_OPTION_ARG_NONE, &command_line->help, NULL, NULL },
    /* As filenames: the bytes as given, never converted. */
    { G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY,
      &command_line->cards, NULL, NULL },
    {},
  };
  GOptionContext *context = g_option_context_new (NULL);
  GError *error = NULL;
  gboolean parsed;

  /* Our own help, written as the lines are, so that a failure to write it
   * is reported. */
  g_option_context_set_help_enabled (context, FALSE);
  g_option_context_add_main_entries (context, entries, NULL);
  g_option_context_add_group (context, gst_init_get_option_group ());
  parsed = g_option_context_parse (context, argc, argv, &error);
  if (error != NULL)
    {
      g_printerr ("%s\n", error->message);
      g_error_free (error);
    }
  g_option_context_free (context);
  return parsed;
}

/* Exactly one card, and a file to write when --expect asks for one. */
static gboolean
is_complete (const CommandLine *command_line)
{
  const char *file = command_line->metrics_file;

  if (command_line->cards == NULL || g_strv_length (command_line->cards) != 1)
    return FALSE;
  if (file != NULL && file[0] == '\0')
    return FALSE;
  return file != NULL || !command_line->expect;
}

/* What the command line asks for: the help, the version, the file of a
 * card expected, or the card's levels.  Returns the exit status. */
static int
answer (const CommandLine *command_line)
{
  RunState run = {};
  const char *card;
  double threshold = 0;

  if (command_line->help)
    return print_help ();
  if (command_line->version)
    return print_version ();
  if (!is_complete (command_line))
    return usage_error ();
  card = command_line->cards[0];
  if (!is_card_identifier (card))
    return invalid_argument ("card identifier", card);
  if (command_line->device != NULL && !is_device_name (command_line->device))
    return invalid_argument ("device name", command_line->device);
  if (command_line->threshold != NULL
      && !parse_threshold (command_line->threshold, &threshold))
    return invalid_argument ("silence threshold", command_line->threshold);
  if (command_line->expect)
    return expect_card (card, command_line->metrics_file);

  run.metrics.card = card;
  run.metrics.file = command_line->metrics_file;
  if (command_line->threshold != NULL)
    add_threshold (&run.metrics, threshold);
  return monitor (&run, command_line->device);
}

int
main (int argc, char *argv[])
{
  CommandLine command_line = {};
  int status;

  fill_if_closed (STDIN_FILENO, O_RDONLY);
  fill_if_closed (STDERR_FILENO, O_WRONLY);
  if (!stdout_is_open ())
    return 1;

  if (parse_command_line (&argc, &argv, &command_line))
    status = answer (&command_line);
  else
    status = usage_error ();
  g_free (command_line.device);
  g_free (command_line.metrics_file);
  g_free (command_line.threshold);
  g_strfreev (command_line.cards);
  return status;
}
