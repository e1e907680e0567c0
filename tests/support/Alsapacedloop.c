/* A capture device for tests that behaves like a sound card: it delivers a loop of S16 frames
 * paced by the clock, at whatever rate it is opened with, and overruns when the reader falls a
 * buffer behind. After a stop (an overrun, a prepare) the frames that passed meanwhile are
 * lost, as with real hardware, so the stream has a gap there.
 *
 *   pcm_type.pacedloop { lib "/path/libasound_module_pcm_pacedloop.so" }
 *   pcm.!default { type pacedloop; channels 1; loop "/path/loop.raw"
 *                  overrun_every 50000; vanish_every 0; dead_after 0 }
 *
 * loop: raw interleaved S16 frames of `channels` channels (without it, a ramp).
 * overrun_every N: an overrun each time the stream has run N frames (0: never).
 * vanish_every N: the device fails each time the stream has run N frames and cannot be
 *   prepared again; only a fresh open brings it back (0: never).
 * dead_after N: once a stream has run N frames the device breaks at every read and yet takes
 *   every restart, as PipeWire's plugin does when its server has gone; only a fresh open
 *   brings it back (0: never).
 * speed N: the clock runs N times as fast, for long recordings in a short test (default 1).
 */
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

typedef struct {
  snd_pcm_ioplug_t io;
  int16_t* loop;
  uint64_t loopFrames;
  unsigned channels;
  int timer;
  struct timespec opened;
  uint64_t startFrame; /* loop position of the stream's first frame since the last start */
  uint64_t read;       /* frames handed out since the last start */
  struct timespec started;
  int running;
  int lost;
  long overrunEvery;
  long vanishEvery;
  long deadAfter;
  long speed;
  int dead;
  uint64_t nextFault;
} PacedLoop;

static double Since(const struct timespec* t) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)(now.tv_sec - t->tv_sec) + (double)(now.tv_nsec - t->tv_nsec) * 1e-9;
}

static double Speed(const PacedLoop* p) {
  return p->speed > 1 ? (double)p->speed : 1.0;
}

static uint64_t Elapsed(PacedLoop* p) {
  return (uint64_t)(Since(&p->started) * p->io.rate * Speed(p));
}

static void Arm(PacedLoop* p, int on) {
  struct itimerspec t;
  memset(&t, 0, sizeof t);
  if (on) {
    t.it_value.tv_nsec = 1000000;
    t.it_interval.tv_nsec = 1000000;
  }
  timerfd_settime(p->timer, 0, &t, NULL);
}

static int Start(snd_pcm_ioplug_t* io) {
  PacedLoop* p = io->private_data;
  if (p->lost) return -ENODEV;
  clock_gettime(CLOCK_MONOTONIC, &p->started);
  p->startFrame = (uint64_t)(Since(&p->opened) * io->rate * Speed(p));
  p->read = 0;
  p->running = 1;
  long every = p->overrunEvery ? p->overrunEvery : p->vanishEvery;
  p->nextFault = every ? (uint64_t)every : UINT64_MAX;
  Arm(p, 1);
  return 0;
}

static int Stop(snd_pcm_ioplug_t* io) {
  PacedLoop* p = io->private_data;
  p->running = 0;
  Arm(p, 0);
  return 0;
}

static snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t* io) {
  PacedLoop* p = io->private_data;
  if (p->lost) return -ENODEV;
  if (p->dead) return -EPIPE;
  if (!p->running) return (snd_pcm_sframes_t)(p->read % io->buffer_size);
  const uint64_t elapsed = Elapsed(p);
  if (p->deadAfter && elapsed >= (uint64_t)p->deadAfter) {
    p->dead = 1;
    return -EPIPE;
  }
  if (elapsed >= p->nextFault) {
    if (p->vanishEvery && !p->overrunEvery) p->lost = 1;
    return -EPIPE;
  }
  /* A reader a whole buffer behind has lost frames: an overrun. */
  if (elapsed - p->read > io->buffer_size) return -EPIPE;
  return (snd_pcm_sframes_t)(elapsed % io->buffer_size);
}

static snd_pcm_sframes_t Transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                  snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  PacedLoop* p = io->private_data;
  for (snd_pcm_uframes_t f = 0; f < size; ++f) {
    const uint64_t at = (p->startFrame + p->read + f) % p->loopFrames;
    for (unsigned c = 0; c < p->channels; ++c) {
      const snd_pcm_channel_area_t* a = &areas[c];
      int16_t* dst = (int16_t*)((char*)a->addr + (a->first + a->step * (offset + f)) / 8);
      *dst = p->loop[at * p->channels + c];
    }
  }
  p->read += size;
  return (snd_pcm_sframes_t)size;
}

static int Prepare(snd_pcm_ioplug_t* io) {
  PacedLoop* p = io->private_data;
  if (p->lost) return -ENODEV;
  p->running = 0;
  p->read = 0;
  Arm(p, 0);
  return 0;
}

static int PollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                       unsigned short* revents) {
  PacedLoop* p = io->private_data;
  (void)pfd;
  (void)nfds;
  uint64_t ticks;
  if (read(p->timer, &ticks, sizeof ticks) < 0) ticks = 0;
  *revents = p->lost ? POLLERR : POLLIN;
  return 0;
}

static int Close(snd_pcm_ioplug_t* io) {
  PacedLoop* p = io->private_data;
  close(p->timer);
  free(p->loop);
  free(p);
  return 0;
}

static const snd_pcm_ioplug_callback_t callbacks = {
    .start = Start,
    .stop = Stop,
    .pointer = Pointer,
    .transfer = Transfer,
    .prepare = Prepare,
    .poll_revents = PollRevents,
    .close = Close,
};

static int LoadLoop(PacedLoop* p, const char* path) {
  if (!path) {
    p->loopFrames = 65536;
    p->loop = malloc(sizeof(int16_t) * p->loopFrames * p->channels);
    if (!p->loop) return -ENOMEM;
    for (uint64_t i = 0; i < p->loopFrames * p->channels; ++i)
      p->loop[i] = (int16_t)(i / p->channels - 32768);
    return 0;
  }
  FILE* f = fopen(path, "rb");
  if (!f) return -ENOENT;
  fseek(f, 0, SEEK_END);
  const long bytes = ftell(f);
  fseek(f, 0, SEEK_SET);
  p->loopFrames = (uint64_t)bytes / (2 * p->channels);
  p->loop = malloc((size_t)bytes + 2);
  const int ok = p->loop && p->loopFrames > 0 &&
                 fread(p->loop, 2 * p->channels, p->loopFrames, f) == p->loopFrames;
  fclose(f);
  return ok ? 0 : -EINVAL;
}

SND_PCM_PLUGIN_DEFINE_FUNC(pacedloop) {
  (void)root;
  const char* path = NULL;
  long channels = 1, overrunEvery = 0, vanishEvery = 0, deadAfter = 0, busy = 0, floatOnly = 0,
       speed = 1;
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id;
    if (snd_config_get_id(n, &id) < 0) continue;
    if (!strcmp(id, "comment") || !strcmp(id, "type") || !strcmp(id, "hint")) continue;
    if (!strcmp(id, "loop")) {
      if (snd_config_get_string(n, &path) < 0) return -EINVAL;
    } else if (!strcmp(id, "channels")) {
      if (snd_config_get_integer(n, &channels) < 0) return -EINVAL;
    } else if (!strcmp(id, "overrun_every")) {
      if (snd_config_get_integer(n, &overrunEvery) < 0) return -EINVAL;
    } else if (!strcmp(id, "vanish_every")) {
      if (snd_config_get_integer(n, &vanishEvery) < 0) return -EINVAL;
    } else if (!strcmp(id, "busy")) {
      // A device another program holds.
      if (snd_config_get_integer(n, &busy) < 0) return -EINVAL;
    } else if (!strcmp(id, "float_only")) {
      // A device that offers no 16-bit format.
      if (snd_config_get_integer(n, &floatOnly) < 0) return -EINVAL;
    } else if (!strcmp(id, "dead_after")) {
      if (snd_config_get_integer(n, &deadAfter) < 0) return -EINVAL;
    } else if (!strcmp(id, "speed")) {
      if (snd_config_get_integer(n, &speed) < 0) return -EINVAL;
    } else {
      return -EINVAL;
    }
  }
  if (stream != SND_PCM_STREAM_CAPTURE || channels < 1 || channels > 2) return -EINVAL;
  if (busy) return -EBUSY;

  PacedLoop* p = calloc(1, sizeof *p);
  if (!p) return -ENOMEM;
  p->channels = (unsigned)channels;
  p->overrunEvery = overrunEvery;
  p->vanishEvery = vanishEvery;
  p->deadAfter = deadAfter;
  p->speed = speed;
  clock_gettime(CLOCK_MONOTONIC, &p->opened);
  int err = LoadLoop(p, path);
  p->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (err < 0 || p->timer < 0) {
    if (p->timer >= 0) close(p->timer);
    free(p->loop);
    free(p);
    return err < 0 ? err : -errno;
  }
  p->io.version = SND_PCM_IOPLUG_VERSION;
  p->io.name = "paced loop";
  p->io.callback = &callbacks;
  p->io.private_data = p;
  p->io.poll_fd = p->timer;
  p->io.poll_events = POLLIN;
  p->io.mmap_rw = 0;
  err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
  if (err < 0) {
    close(p->timer);
    free(p->loop);
    free(p);
    return err;
  }
  static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
  static const unsigned int format[] = {SND_PCM_FORMAT_S16_LE};
  static const unsigned int floatFormat[] = {SND_PCM_FORMAT_FLOAT_LE};
  if ((err = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_ACCESS, 1, access)) < 0 ||
      (err = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_FORMAT, 1,
                                           floatOnly ? floatFormat : format)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_CHANNELS, p->channels,
                                             p->channels)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_RATE, 4000, 192000)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 32, 1 << 20)) <
          0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 64, 1 << 23)) <
          0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 4096)) < 0) {
    snd_pcm_ioplug_delete(&p->io);
    return err;
  }
  *pcmp = p->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(pacedloop);
