#ifndef EVENTS_H
#define EVENTS_H

#include "metrics.h"

#include <glib.h>

/* What a card's metrics file tells, read after read, turned into the
 * changes that an admin's command is told of. */

typedef enum
{
  EVENT_SILENCE,    /* every level of every channel at or below the
                       threshold for a while: dead air */
  EVENT_SOUND,      /* levels above it for a while, after a silence */
  EVENT_SIDE_LOST,  /* every level of one channel at or below the
                       threshold for a while, not in dead air */
  EVENT_SIDE_BACK,  /* its levels above it for a while, after that */
  EVENT_CLIPPING,   /* a level at full scale, the channel's first for 2
                       minutes */
  EVENT_STOPPED,    /* no level for a minute */
  EVENT_MEASURED,   /* a level again, after EVENT_STOPPED */
  EVENT_RESTARTING, /* the monitor began to measure 3 times in 10 minutes */
  EVENT_KINDS
} EventKind;

/* The event's name, as its command is told it: "silence", "side-lost" and
 * so on. */
const char *event_name (EventKind kind);

/* No level for this long, in microseconds, is EVENT_STOPPED. */
#define STOPPED_AFTER_US (60 * G_USEC_PER_SEC)
/* How much older than the last level printed the file's may be: a
 * rewrite comes every 5 seconds, and a level half a second after. */
#define FILE_LAG_US G_GINT64_CONSTANT (5500000)
/* A clip this long after the last one is EVENT_CLIPPING again. */
#define CLIPPING_FOR_US (120 * G_USEC_PER_SEC)
/* This many starts within RESTARTING_WITHIN_US are EVENT_RESTARTING. */
#define RESTARTS 3
#define RESTARTING_WITHIN_US (600 * G_USEC_PER_SEC)

typedef struct
{
  EventKind kind;
  gint64 time;      /* when it was seen, real time in microseconds */
  double duration;  /* seconds: how long the state that it begins has
                       lasted, or that it ends lasted; 0 for clipping and
                       restarting */
  gboolean reminder; /* a state that holds, told again */
  guint channel;     /* the channel, from 1, of a side lost or back and of
                        a clip; 0 for the others */
} Event;

/* One read of the metrics file. */
typedef struct
{
  gboolean read;          /* whether the file could be read at all */
  gint64 last_level_time; /* the file's time of its last level (real time,
                             us), or since when the card is expected */
  gboolean has_levels;    /* whether it counts levels, of channel 1 at
                             least */
  guint channels;         /* the channels it counts, from 1 */
  double silence;         /* the least of the channels' silences: how long
                             every channel has been at or below the
                             threshold; NAN when a channel has none */
  double silences[MOST_CHANNELS]; /* each channel's seconds at or below
                                     the threshold, negative above it;
                                     NAN when the file has none */
  guint64 clips[MOST_CHANNELS]; /* each channel's levels above the
                                   histogram's last bound */
  guint64 starts;         /* the monitor's starts */
} Reading;

/* The card watched, and what has been told of it. */
typedef struct
{
  const char *card;
  double threshold;       /* T, dBFS */
  double silence_seconds; /* D */
  double sound_seconds;   /* R */
  gint64 reminder_us;     /* a state that holds is told again this often;
                             0 for never */
  gboolean started;       /* a reading has been taken */
  gint64 last_level_time; /* the last level's time, or the watch's start
                             if later; while stopped, the last before */
  gint64 file_level_time; /* the file's time at the watch's start,
                             which tells of no level since */
  gboolean stopped;
  gboolean silent;
  gint64 silent_since;    /* when the silence began, real time in us */
  gint64 reminded;        /* when the state that holds was last told */
  gint64 lost_since[MOST_CHANNELS]; /* of each side told lost, when its
                                       silence began (real time, us); 0
                                       for none */
  guint64 clips[MOST_CHANNELS];
  gint64 last_clip[MOST_CHANNELS]; /* when the channel's clip was last
                                      seen; 0 for none */
  guint64 starts;
  gint64 restarts[RESTARTS]; /* when the latest starts were seen, newest
                                first */
  gboolean restarting;
} Watch;

/* What text, the metrics file of watch->card, says; text NULL for a file
 * that cannot be read.  A file without channels, a monitor's older than
 * 1.11.0, counts no levels. */
Reading read_reading (const Watch *watch, const char *text);

/* Appends to events, an array of Event, what the reading, taken at now,
 * real time in microseconds, changes: each change once, and a state that
 * holds again every watch->reminder_us.  The first reading only sets
 * where the counts stand; a silence, a side lost, or a card not measured,
 * already there is told. */
void watch_reading (Watch *watch, const Reading *reading, gint64 now,
                    GArray *events);

/* When, in real time (us), a look at a file that has not changed since
 * may tell what it did not: that no level has come for a minute, or that
 * a reminder is due.  0 for never. */
gint64 next_look (const Watch *watch);

/* What has been told of the card, which holds until told otherwise, as
 * text to keep: whether it is silent, since when, which sides are lost
 * since when, and whether it is not measured.  Free it with g_free. */
gchar *told_text (const Watch *watch);

/* Goes on from told_text's text, kept by a watch before this one, so that
 * a state that holds is not told again; what is not in it is left as it
 * is. */
void resume_told (Watch *watch, const char *text);

#endif
