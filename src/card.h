#ifndef CARD_H
#define CARD_H

#include <glib.h>

/* Who else holds the capture of card, as the kernel tells under asound (the
 * system's is /proc/asound), whoever the holder is: "process 274
 * (arecord)", its name only where this process may see it, several
 * joined by ", ".  card is a card identifier (1, Studio,1 or
 * CARD=Studio,DEV=1,SUBDEV=0): its device, 0 unless named, and every
 * subdevice of it unless one is named.  NULL when none is held, or the
 * card is not there.  Free it with g_free. */
gchar *capture_holders (const char *asound, const char *card);

#endif
