// The machine's playback outputs: the system default, every PulseAudio/PipeWire sink and the
// ALSA playback PCMs, kept up to date while devices come and go.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class OutputKind { Default, Pulse, Alsa };

struct OutputEntry {
  OutputKind kind = OutputKind::Default;
  // Stable across runs and hot-plugging: the sink's name for Pulse, the PCM name for ALSA,
  // "default" for the default output.
  std::string name;
  // What the user reads in the menu.
  std::string description;
  bool operator==(const OutputEntry&) const = default;
};

// "Default output (system)".
OutputEntry DefaultOutput();

// The ALSA playback PCMs of the current configuration (snd_device_name_hint): hw and plughw
// devices and named PCMs such as "pulse" or "pipewire"; "default", "null", the card-specific
// aliases and the processing plugins are left out. Never prints anything.
std::vector<OutputEntry> AlsaPlaybackOutputs();

class OutputList {
 public:
  // Starts following the outputs on a thread of its own: a connection to the sound server
  // (retried while there is none) with a subscription to its sinks, and a re-read of the ALSA
  // hints every `alsaInterval`.
  explicit OutputList(std::chrono::milliseconds alsaInterval = std::chrono::seconds(3));
  ~OutputList();
  OutputList(const OutputList&) = delete;
  OutputList& operator=(const OutputList&) = delete;

  // Default output first, then the sound server's sinks by description, then the ALSA PCMs.
  // Any thread.
  std::vector<OutputEntry> Entries() const;
  // Counts the changes of Entries(); starts at 1 once the first reading is in (0 before).
  uint64_t Generation() const;
  // Waits until Generation() is above `seen` or the time has passed; returns the generation.
  uint64_t WaitForChange(uint64_t seen, std::chrono::milliseconds timeout) const;
  // Called on the list's own thread after each change, outside its locks.
  void SetOnChange(std::function<void()> onChange);
  // Asks for a fresh reading of both now (a menu about to open).
  void Refresh();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
