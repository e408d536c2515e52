#ifndef LEVEL_REPORTER_H
#define LEVEL_REPORTER_H

#include <gst/gst.h>

/* Bus watch: prints the first channel's peak of every "level" measurement
 * on stdout.  Always returns TRUE, so the watch stays installed. */
gboolean message_handler (GstBus *bus, GstMessage *message, gpointer user_data);

#endif
