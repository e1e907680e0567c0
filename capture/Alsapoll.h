// Waiting on an ALSA PCM and a wake-up descriptor together, for capture and playback alike.
#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

// Until the PCM is ready (data to read, room to write) or `until`, waking at least every
// `stepMs` so the caller's own deadlines stay in force; false when the transfer must end: the
// deadline passed, `wakeFd` was signalled, or the device failed.
inline bool WaitForPcm(snd_pcm_t* pcm, int wakeFd, std::chrono::steady_clock::time_point until,
                       int stepMs) {
  const int count = snd_pcm_poll_descriptors_count(pcm);
  if (count <= 0) return false;
  std::vector<pollfd> fds(static_cast<size_t>(count) + 1);
  if (snd_pcm_poll_descriptors(pcm, fds.data(), static_cast<unsigned>(count)) < 0) return false;
  fds[count] = {wakeFd, POLLIN, 0};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        until - std::chrono::steady_clock::now())
                        .count();
  if (left <= 0) return false;
  const int r = poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, stepMs)));
  if (r < 0) return errno == EINTR;
  if (fds[count].revents) return false;
  unsigned short revents = 0;
  snd_pcm_poll_descriptors_revents(pcm, fds.data(), static_cast<unsigned>(count), &revents);
  return (revents & (POLLERR | POLLNVAL)) == 0;
}
