#ifndef EVENT_COMMAND_H
#define EVENT_COMMAND_H

#include "events.h"

/* The admin's commands for one card's events, run one at a time, in the
 * order of the events, outside the process that reads the levels. */
typedef struct
{
  const char *card;
  const char *instance;        /* the machine's name */
  double threshold;            /* T, dBFS */
  const char *commands[EVENT_KINDS]; /* a shell command for each event;
                                        NULL for none */
  guint timeout_seconds;       /* a command running this long is ended */
  GQueue waiting;              /* the events whose commands wait, as the
                                  environments to run them in */
  GPid running;                /* the command running; 0 for none */
  EventKind running_kind;
  guint timer;                 /* the running command's time limit */
  gboolean timed_out;
  void (*drained) (gpointer);  /* called, with drained_data, once the
                                  last command waiting has ended */
  gpointer drained_data;
} Commands;

/* Runs the event's command, with the event in its environment, once the
 * commands of the events before it have ended; calls commands->drained
 * once none is left, at once for an event without a command. */
void queue_event (Commands *commands, const Event *event);

#endif
