#include "level_reporter.h"
#include "metrics.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static int
usage_error (void)
{
  g_printerr ("Usage: level-monitor [GSTREAMER-OPTION...] "
              "[--metrics-file FILE] CARD\n");
  return 2;
}

static int
unknown_option (const char *option)
{
  g_printerr ("Unknown option: %s\n", option);
  return usage_error ();
}

static int
print_help (void)
{
  const char *help =
      "Usage: level-monitor [GSTREAMER-OPTION...] [--metrics-file FILE] CARD\n"
      "Print the peak level of the first channel of ALSA card CARD\n"
      "(hw:CARD), in dB relative to full scale, one line every half\n"
      "second, until killed.  CARD is a card number or name, with an\n"
      "optional ,DEVICE and ,SUBDEVICE; arecord -l lists the cards.\n"
      "--metrics-file FILE: every 5 seconds, rewrite FILE with a\n"
      "histogram of the levels printed, for Prometheus.\n"
      "Options: --help, --version, and GStreamer's --gst-* options.\n";

  return write_stdout (help) ? 0 : 1;
}

static int
print_version (void)
{
  return write_stdout ("level-monitor " LEVEL_MONITOR_VERSION "\n") ? 0 : 1;
}

/* The card is spliced into the launch text, so take only what ALSA's hw
 * device does: a number or name, ",DEVICE", ",SUBDEVICE" or KEY=VALUE. */
static gboolean
is_card_identifier (const char *card)
{
  size_t length = strlen (card);

  if (length == 0 || length > 64)
    return FALSE;
  for (size_t i = 0; i < length; i++)
    if (!g_ascii_isalnum (card[i]) && strchr ("_-,=", card[i]) == NULL)
      return FALSE;
  return TRUE;
}

static int
invalid_card (const char *card)
{
  gchar *escaped = g_strescape (card, NULL);

  g_printerr ("Invalid card identifier: %s\n", escaped);
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
set_capture_periods (GstElement *pipeline)
{
  GObject *source = first_element (gst_bin_iterate_sources (GST_BIN (pipeline)));
  GObject *sink = first_element (gst_bin_iterate_sinks (GST_BIN (pipeline)));

  g_object_set (source, "latency-time", (gint64) CAPTURE_PERIOD_US,
                "buffer-time", (gint64) CAPTURE_BUFFER_US, NULL);
  g_object_set (sink, "ts-offset", -(gint64) CAPTURE_PERIOD_US * GST_USECOND,
                NULL);
  g_object_unref (source);
  g_object_unref (sink);
}

/* Runs the capture pipeline on run->card until the run ends, and returns
 * its status. */
static int
monitor (RunState *run)
{
  GError *error = NULL;
  gchar *description;
  GstElement *pipeline;
  GstBus *bus;

  description = g_strconcat ("alsasrc device=hw:", run->card,
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

  set_capture_periods (pipeline);

  /* A file that cannot be written fails now, not minutes later. */
  if (run->metrics_file != NULL && !check_metrics_file (run))
    return 1;

  run->loop = g_main_loop_new (NULL, FALSE);
  bus = gst_element_get_bus (pipeline);
  gst_bus_add_watch (bus, message_handler, run);
  g_timeout_add (1000, watchdog_tick, run);
  /* Fresh for a scrape every 15 s; the service keeps the file in memory,
   * so the rewrites cost no writes to a small board's SD card. */
  if (run->metrics_file != NULL)
    g_timeout_add_seconds (5, metrics_tick, run);
  /* The card's audio begins once the pipeline plays, not before. */
  run->audio_origin = g_get_monotonic_time ();
  run->least_origin = G_MAXINT64;
  gst_element_set_state (pipeline, GST_STATE_PLAYING);

  g_main_loop_run (run->loop);

  /* Only a failure ends the loop, and a card stuck in a read can block the
   * pipeline's way down for ever: leave it all to the exit.  The lines
   * printed since the last rewrite are counted too. */
  if (run->metrics_file != NULL)
    write_metrics (run);
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

int
main (int argc, char *argv[])
{
  RunState run = {};
  const char *card;
  int first = 1;

  fill_if_closed (STDIN_FILENO, O_RDONLY);
  fill_if_closed (STDERR_FILENO, O_WRONLY);
  if (!stdout_is_open ())
    return 1;
  gst_init (&argc, &argv);

  if (argc > 1 && strcmp (argv[1], "--metrics-file") == 0)
    {
      run.metrics_file = argv[2];
      first = 3;
    }
  if (argc <= first)
    return usage_error ();
  card = argv[first];
  if (strcmp (card, "--help") == 0 || strcmp (card, "-h") == 0)
    return print_help ();
  if (strcmp (card, "--version") == 0)
    return print_version ();
  /* No ALSA card identifier begins with a dash. */
  if (card[0] == '-')
    return unknown_option (card);
  if (!is_card_identifier (card))
    return invalid_card (card);

  run.card = card;
  return monitor (&run);
}
