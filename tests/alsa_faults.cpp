// Preloaded into level-monitor to make the card fail under ALSA, as set by
// the environment:
//   ALSA_FAULT_OPEN=EBUSY         every capture open fails so
//   ALSA_FAULT_READ=ENODEV|EPIPE|ESTRPIPE|EIO
//   ALSA_FAULT_AFTER=N            reads that succeed first (default 0)
//   ALSA_FAULT_TIMES=N            reads that then fail (default: all)
// The alsa plugin loads libasound privately, so RTLD_NEXT cannot see it:
// the real functions are looked up in the copy already loaded.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

namespace
{

int
error_named (const char *variable)
{
  static const struct
  {
    const char *name;
    int number;
  } errors[] = { { "EBUSY", EBUSY }, { "ENODEV", ENODEV }, { "EPIPE", EPIPE },
                 { "ESTRPIPE", ESTRPIPE }, { "EIO", EIO } };
  const char *name = getenv (variable);

  for (const auto &error : errors)
    if (name != nullptr && strcmp (name, error.name) == 0)
      return error.number;
  return 0;
}

long
number_in (const char *variable, long fallback)
{
  const char *value = getenv (variable);

  return value != nullptr ? atol (value) : fallback;
}

void *
real (const char *function)
{
  void *library = dlopen ("libasound.so.2", RTLD_LAZY | RTLD_NOLOAD);

  if (library == nullptr)
    abort ();
  return dlsym (library, function);
}

std::atomic<long> reads{ 0 };

} // namespace

extern "C" int
snd_pcm_open (void **pcm, const char *name, int stream, int mode)
{
  using Open = int (*) (void **, const char *, int, int);
  static Open open = (Open) real ("snd_pcm_open");
  int error = error_named ("ALSA_FAULT_OPEN");

  return error != 0 ? -error : open (pcm, name, stream, mode);
}

extern "C" long
snd_pcm_readi (void *pcm, void *buffer, unsigned long frames)
{
  using Read = long (*) (void *, void *, unsigned long);
  static Read read = (Read) real ("snd_pcm_readi");
  static int error = error_named ("ALSA_FAULT_READ");
  static long after = number_in ("ALSA_FAULT_AFTER", 0);
  static long times = number_in ("ALSA_FAULT_TIMES", -1);
  long n = reads++;

  if (error != 0 && n >= after && (times < 0 || n < after + times))
    return -error;
  return read (pcm, buffer, frames);
}
