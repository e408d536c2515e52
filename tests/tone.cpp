// Writes a stereo square wave, 16-bit little-endian at 44100 Hz, to stdout
// until stdout closes.  Each channel swings between +VALUE and -VALUE, so a
// level meter reads exactly 20*log10(VALUE/32768) dB on it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int
main (int argc, char *argv[])
{
  int16_t left, right;
  int16_t period[100][2];

  if (argc != 3)
    {
      fprintf (stderr, "Usage: tone LEFT RIGHT (sample values, 0 to 32767)\n");
      return 2;
    }
  left = (int16_t) atoi (argv[1]);
  right = (int16_t) atoi (argv[2]);

  /* 441 Hz: half a period high, half low. */
  for (int i = 0; i < 100; i++)
    {
      period[i][0] = i < 50 ? left : -left;
      period[i][1] = i < 50 ? right : -right;
    }
  while (fwrite (period, sizeof period, 1, stdout) == 1)
    ;
  return 0;
}
