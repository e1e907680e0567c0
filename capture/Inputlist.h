// The machine's capture inputs: the system default, every PulseAudio/PipeWire source (monitors
// included) and the ALSA capture PCMs, kept up to date while devices come and go.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class FileCursor;

// File: an audio file opened from the chart's menu, not one of the machine's inputs.
enum class InputKind { Default, Pulse, Alsa, File };

struct InputEntry {
  InputKind kind = InputKind::Default;
  // Stable across runs and hot-plugging: the source's name for Pulse, the PCM name for ALSA,
  // "default" for the default input.
  std::string name;
  // What the user reads in the menu.
  std::string description;
  // The opened file (File only): the same opening is the same input.
  std::shared_ptr<FileCursor> file = nullptr;
  // Why the input cannot record now, shown beside it ("JACK: no server"); empty when it can.
  // Not part of its identity: the input marked is the input chosen.
  std::string unavailable = {};
  bool operator==(const InputEntry& o) const {
    return kind == o.kind && name == o.name && description == o.description && file == o.file;
  }
};

// The entries and their marks alike.
bool SameMarks(const std::vector<InputEntry>& a, const std::vector<InputEntry>& b);

// "Default input (system)": ALSA's "default", as the analyser has always recorded.
InputEntry DefaultInput();

// The ALSA capture PCMs of the current configuration (snd_device_name_hint): hw and plughw
// devices and named PCMs such as "pulse" or "pipewire"; "default", "null" and the card-specific
// aliases (sysdefault, front, dsnoop, ...) are left out. A PCM of the JACK plugin is marked
// kJackNoServer while no JACK server runs. Never prints anything.
std::vector<InputEntry> AlsaCaptureInputs();

class InputList {
 public:
  // Starts following the inputs on a thread of its own: a connection to the sound server
  // (retried while there is none) with a subscription to its sources and sinks, and a re-read
  // of the ALSA hints every `alsaInterval`.
  explicit InputList(std::chrono::milliseconds alsaInterval = std::chrono::seconds(3));
  ~InputList();
  InputList(const InputList&) = delete;
  InputList& operator=(const InputList&) = delete;

  // Default input first, then the sound server's sources by description, then the ALSA PCMs.
  // Any thread.
  std::vector<InputEntry> Entries() const;
  // Counts the changes of Entries(); starts at 1 once the first reading is in (0 before).
  uint64_t Generation() const;
  // Waits until Generation() is above `seen` or the time has passed; returns the generation.
  uint64_t WaitForChange(uint64_t seen, std::chrono::milliseconds timeout) const;
  // Called on the list's own thread after each change, outside its locks; set it before the
  // first change matters (a window posts itself an event from it, or simply polls Generation).
  void SetOnChange(std::function<void()> onChange);
  // Asks for a fresh reading of both now (a menu about to open).
  void Refresh();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
