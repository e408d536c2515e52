#ifndef LEVEL_REPORTER_H
#define LEVEL_REPORTER_H

#include <gst/gst.h>

/* Bus watch.  Prints the first channel's peak of every "level" measurement
 * on stdout.  On the first error it prints "Error: " and the message on
 * stderr and quits loop, the GMainLoop given as user data.  Always returns
 * TRUE, so the watch stays installed. */
gboolean message_handler (GstBus *bus, GstMessage *message, gpointer loop);

#endif
