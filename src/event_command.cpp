#include "event_command.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

/* A command waiting to run. */
typedef struct
{
  EventKind kind;
  gchar **environment;
} Waiting;

/* What the command is told, added to what the service was given. */
static gchar **
event_environment (const Commands *commands, const Event *event)
{
  char number[G_ASCII_DTOSTR_BUF_SIZE];
  gchar **environment = g_get_environ ();
  gchar *time = g_strdup_printf ("%" G_GINT64_FORMAT,
                                 event->time / G_USEC_PER_SEC);
  /* Empty for an event of the whole card, rather than unset: a setting of
   * the same name in the files is not taken for a channel. */
  gchar *channel = event->channel == 0
                       ? g_strdup ("")
                       : g_strdup_printf ("%u", event->channel);

  environment = g_environ_setenv (environment, "LEVEL_MONITOR_EVENT",
                                  event_name (event->kind), TRUE);
  environment = g_environ_setenv (environment, "LEVEL_MONITOR_CARD",
                                  commands->card, TRUE);
  environment = g_environ_setenv (environment, "LEVEL_MONITOR_INSTANCE",
                                  commands->instance, TRUE);
  environment = g_environ_setenv (environment, "LEVEL_MONITOR_TIME", time,
                                  TRUE);
  environment = g_environ_setenv (
      environment, "LEVEL_MONITOR_THRESHOLD",
      g_ascii_formatd (number, sizeof number, "%g", commands->threshold),
      TRUE);
  environment = g_environ_setenv (
      environment, "LEVEL_MONITOR_DURATION",
      g_ascii_formatd (number, sizeof number, "%.1f", event->duration), TRUE);
  environment = g_environ_setenv (environment, "LEVEL_MONITOR_REMINDER",
                                  event->reminder ? "yes" : "no", TRUE);
  environment = g_environ_setenv (environment, "LEVEL_MONITOR_CHANNEL",
                                  channel, TRUE);
  g_free (channel);
  g_free (time);
  return environment;
}

/* The command and whatever it starts are one process group, ended
 * together when it runs too long. */
static void
own_process_group (gpointer unused)
{
  (void) unused;
  setpgid (0, 0);
}

static void run_next (Commands *commands);

/* A command that failed is told of once, with how it ended. */
static void
report_end (const Commands *commands, int status)
{
  const char *name = event_name (commands->running_kind);

  if (commands->timed_out)
    g_printerr ("Error: the %s command ran for %u seconds and was ended\n",
                name, commands->timeout_seconds);
  else if (WIFEXITED (status) && WEXITSTATUS (status) != 0)
    g_printerr ("Error: the %s command failed with exit status %d\n", name,
                WEXITSTATUS (status));
  else if (WIFSIGNALED (status))
    g_printerr ("Error: the %s command was killed by signal %d\n", name,
                WTERMSIG (status));
}

static void
on_command_end (GPid pid, gint status, gpointer data)
{
  Commands *commands = (Commands *) data;

  if (commands->timer != 0)
    g_source_remove (commands->timer);
  commands->timer = 0;
  report_end (commands, status);
  g_spawn_close_pid (pid);
  commands->running = 0;
  run_next (commands);
}

static gboolean
on_time_limit (gpointer data)
{
  Commands *commands = (Commands *) data;

  commands->timer = 0;
  commands->timed_out = TRUE;
  kill (-commands->running, SIGKILL);
  return G_SOURCE_REMOVE;
}

/* Starts the oldest command waiting, unless one runs. */
static void
run_next (Commands *commands)
{
  Waiting *waiting;
  GError *error = NULL;

  if (commands->running != 0)
    return;
  waiting = (Waiting *) g_queue_pop_head (&commands->waiting);
  if (waiting == NULL)
    {
      if (commands->drained != NULL)
        commands->drained (commands->drained_data);
      return;
    }
  {
    const char *argv[] = { "/bin/sh", "-c", commands->commands[waiting->kind],
                           NULL };

    commands->running_kind = waiting->kind;
    commands->timed_out = FALSE;
    if (g_spawn_async (NULL, (gchar **) argv, waiting->environment,
                       G_SPAWN_DO_NOT_REAP_CHILD, own_process_group, NULL,
                       &commands->running, &error))
      {
        g_child_watch_add (commands->running, on_command_end, commands);
        commands->timer = g_timeout_add_seconds (commands->timeout_seconds,
                                                 on_time_limit, commands);
      }
    else
      {
        g_printerr ("Error: cannot run the %s command: %s\n",
                    event_name (waiting->kind), error->message);
        g_error_free (error);
      }
  }
  g_strfreev (waiting->environment);
  g_free (waiting);
  if (commands->running == 0)
    run_next (commands);
}

void
queue_event (Commands *commands, const Event *event)
{
  Waiting *waiting;

  if (commands->commands[event->kind] == NULL)
    {
      run_next (commands);
      return;
    }
  waiting = g_new (Waiting, 1);
  waiting->kind = event->kind;
  waiting->environment = event_environment (commands, event);
  g_queue_push_tail (&commands->waiting, waiting);
  run_next (commands);
}
