#include "event_command.h"
#include "events.h"
#include "metrics.h"
#include "output.h"

#include <cmath>
#include <cstring>
#include <gio/gio.h>

/* Runs the admin's commands on the events of one card, read from the
 * metrics file as its monitor rewrites it, every 5 seconds.  A process and
 * a service of its own: a command may reach the network, and may hang,
 * which the monitor, in its sandbox, must never wait for. */

#define USAGE "Usage: level-monitor-events METRICS_FILE CARD [STATE_FILE]\n"

/* The file and the card watched, and what is told of them. */
typedef struct
{
  const char *file;
  const char *told_file;   /* what has been told, kept across restarts;
                              NULL for nowhere */
  Watch watch;
  Commands commands;
  GArray *events;
  guint look;              /* the timer of next_look's time, or 0 */
  gboolean untold;         /* what was told is not kept yet */
  gboolean warned;         /* of a file that does not count T */
} Watcher;

/* A setting from the environment, a number from least to most; unset or
 * empty, fallback.  Prints the error and returns FALSE when it is not. */
static gboolean
number_setting (const char *name, double least, double most, double fallback,
                double *value)
{
  const char *text = g_getenv (name);
  char *end = NULL;
  gchar *escaped;

  *value = fallback;
  if (text == NULL || text[0] == '\0')
    return TRUE;
  *value = g_ascii_strtod (text, &end);
  if (end != text && *end == '\0' && *value >= least && *value <= most)
    return TRUE;
  escaped = g_strescape (text, NULL);
  g_printerr ("Invalid %s: %s\n", name, escaped);
  g_free (escaped);
  return FALSE;
}

/* The command of each event: its own (SILENCE_COMMAND for silence,
 * SIDE_LOST_COMMAND for side-lost), or EVENT_COMMAND.  Returns whether any
 * is set. */
static gboolean
find_commands (Commands *commands)
{
  const char *all = g_getenv ("EVENT_COMMAND");
  gboolean any = FALSE;

  for (int kind = 0; kind < EVENT_KINDS; kind++)
    {
      gchar *upper = g_strdelimit (
          g_ascii_strup (event_name ((EventKind) kind), -1), "-", '_');
      gchar *name = g_strconcat (upper, "_COMMAND", NULL);
      const char *own = g_getenv (name);

      commands->commands[kind] = own != NULL && own[0] != '\0' ? own : all;
      if (commands->commands[kind] != NULL && commands->commands[kind][0] == '\0')
        commands->commands[kind] = NULL;
      any = any || commands->commands[kind] != NULL;
      g_free (name);
      g_free (upper);
    }
  return any;
}

/* T, D and R, the reminder and the commands' time limit, as the
 * Prometheus alerts have them by default. */
static gboolean
read_settings (Watcher *watcher)
{
  double reminder_minutes, timeout;
  Watch *watch = &watcher->watch;

  if (!number_setting ("SILENCE_THRESHOLD", -200, 0, -40, &watch->threshold)
      || !number_setting ("SILENCE_SECONDS", 0.5, 86400, 20,
                          &watch->silence_seconds)
      || !number_setting ("SOUND_SECONDS", 0.5, 3600, 3, &watch->sound_seconds)
      || !number_setting ("REMINDER_MINUTES", 0, 10080, 0, &reminder_minutes)
      || (reminder_minutes > 0
          && !number_setting ("REMINDER_MINUTES", 1, 10080, 0,
                              &reminder_minutes))
      || !number_setting ("COMMAND_TIMEOUT_SECONDS", 1, 3600, 60, &timeout))
    return FALSE;
  watch->reminder_us = (gint64) (reminder_minutes * 60 * G_USEC_PER_SEC);
  watcher->commands.timeout_seconds = (guint) timeout;
  watcher->commands.threshold = watch->threshold;
  if (find_commands (&watcher->commands))
    return TRUE;
  g_printerr ("Error: no event command: set EVENT_COMMAND\n");
  return FALSE;
}

/* A watch started again, after an upgrade or a stop, tells no state
 * again that it told before. */
static void
resume_told_file (Watcher *watcher)
{
  gchar *text = NULL;

  if (watcher->told_file != NULL
      && g_file_get_contents (watcher->told_file, &text, NULL, NULL))
    resume_told (&watcher->watch, text);
  g_free (text);
}

/* Kept once every command of what was told has run: a watch ended
 * before, by an upgrade or a shutdown, tells it again rather than lose
 * it. */
static void
keep_told (gpointer data)
{
  Watcher *watcher = (Watcher *) data;
  gchar *text;
  int error;

  if (watcher->told_file == NULL || !watcher->untold)
    return;
  watcher->untold = FALSE;
  text = told_text (&watcher->watch);
  error = replace_file (watcher->told_file, text);
  if (error != 0)
    g_printerr ("Error: cannot write the state file %s: %s\n",
                watcher->told_file, file_error_text (error));
  g_free (text);
}

static void read_file (Watcher *watcher);

static gboolean
on_look (gpointer watcher)
{
  ((Watcher *) watcher)->look = 0;
  read_file ((Watcher *) watcher);
  return G_SOURCE_REMOVE;
}

/* A file that is not rewritten tells of no change: a look at it when no
 * level has come for a minute, or a reminder is due, tells that. */
static void
plan_look (Watcher *watcher)
{
  gint64 next = next_look (&watcher->watch);
  gint64 wait;

  if (watcher->look != 0)
    g_source_remove (watcher->look);
  watcher->look = 0;
  if (next == 0)
    return;
  wait = MAX (next - g_get_real_time (), 0);
  watcher->look = g_timeout_add ((guint) MIN (wait / 1000 + 1, G_MAXINT),
                                 on_look, watcher);
}

/* Reads the file, and queues the commands of what it changes. */
static void
read_file (Watcher *watcher)
{
  gchar *text = read_metrics_file (watcher->file);
  Reading reading = read_reading (&watcher->watch, text);

  g_free (text);
  /* A monitor started with another threshold: silence would never be
   * told, so say why, once. */
  if (reading.has_levels && std::isnan (reading.silence) && !watcher->warned)
    g_printerr ("Error: the metrics file %s counts no silence at %g dBFS: "
                "restart the card's monitor\n",
                watcher->file, watcher->watch.threshold);
  watcher->warned = watcher->warned
                    || (reading.has_levels && std::isnan (reading.silence));
  g_array_set_size (watcher->events, 0);
  watch_reading (&watcher->watch, &reading, g_get_real_time (),
                 watcher->events);
  watcher->untold = watcher->untold || watcher->events->len > 0;
  for (guint i = 0; i < watcher->events->len; i++)
    queue_event (&watcher->commands,
                 &g_array_index (watcher->events, Event, i));
  plan_look (watcher);
}

/* Each rewrite is read as it lands, renamed over the file, so that no
 * state that it tells of is missed. */
static void
on_file_changed (GFileMonitor *monitor, GFile *file, GFile *other,
                 GFileMonitorEvent event, gpointer watcher)
{
  (void) monitor;
  (void) file;
  (void) other;
  if (event == G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT
      || event == G_FILE_MONITOR_EVENT_CREATED
      || event == G_FILE_MONITOR_EVENT_MOVED_IN
      || event == G_FILE_MONITOR_EVENT_RENAMED)
    read_file ((Watcher *) watcher);
}

/* Watches the file's folder for the file replaced.  Returns FALSE, once
 * the error is printed, when it cannot. */
static gboolean
watch_file (Watcher *watcher)
{
  GFile *file = g_file_new_for_path (watcher->file);
  GError *error = NULL;
  GFileMonitor *monitor
      = g_file_monitor_file (file, G_FILE_MONITOR_WATCH_MOVES, NULL, &error);

  g_object_unref (file);
  if (monitor == NULL)
    {
      g_printerr ("Error: cannot watch the metrics file %s: %s\n",
                  watcher->file, error->message);
      g_error_free (error);
      return FALSE;
    }
  g_signal_connect (monitor, "changed", G_CALLBACK (on_file_changed), watcher);
  return TRUE;
}

int
main (int argc, char *argv[])
{
  Watcher watcher = {};

  if (argc < 3 || argc > 4 || argv[1][0] == '\0' || argv[2][0] == '\0')
    {
      g_printerr (USAGE);
      return 2;
    }
  watcher.file = argv[1];
  watcher.told_file = argc == 4 ? argv[3] : NULL;
  watcher.watch.card = argv[2];
  watcher.commands.card = argv[2];
  watcher.commands.instance = g_get_host_name ();
  watcher.commands.drained = keep_told;
  watcher.commands.drained_data = &watcher;
  if (!read_settings (&watcher))
    return 2;
  watcher.events = g_array_new (FALSE, FALSE, sizeof (Event));
  resume_told_file (&watcher);

  if (!watch_file (&watcher))
    return 1;
  read_file (&watcher);
  g_main_loop_run (g_main_loop_new (NULL, FALSE));
  return 0;
}
