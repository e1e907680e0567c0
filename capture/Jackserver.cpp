#include "Jackserver.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

void Quiet(const char*) {}

// libjack, loaded once and kept: the ALSA plugin links the same library, so the silence set
// here holds for it too.
void* Libjack() {
  static void* handle = [] {
    void* h = dlopen("libjack.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!h) return h;
    using Setter = void (*)(void (*)(const char*));
    for (const char* name : {"jack_set_error_function", "jack_set_info_function"})
      if (auto set = reinterpret_cast<Setter>(dlsym(h, name))) set(Quiet);
    return h;
  }();
  return handle;
}

bool IsSocket(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

std::string ServerName() {
  const char* name = std::getenv("JACK_DEFAULT_SERVER");
  return name && *name ? name : "default";
}

// A client of libjack that never starts a server; a PipeWire installation's libjack needs no
// JACK socket.
bool ClientOpens() {
  void* jack = Libjack();
  if (!jack) return false;
  using Open = void* (*)(const char*, int, int*, ...);
  using Close = int (*)(void*);
  const auto open = reinterpret_cast<Open>(dlsym(jack, "jack_client_open"));
  const auto close = reinterpret_cast<Close>(dlsym(jack, "jack_client_close"));
  if (!open || !close) return false;
  constexpr int kNoStartServer = 0x01;
  constexpr int kServerName = 0x04;
  int status = 0;
  const std::string server = ServerName();
  void* client = open("tonvista-probe", kNoStartServer | kServerName, &status, server.c_str());
  if (!client) return false;
  close(client);
  return true;
}

}  // namespace

bool IsJackPcm(const std::string& name) {
  snd_config_t* top = nullptr;
  if (snd_config_update_ref(&top) < 0 || !top) return false;
  snd_config_t* pcm = nullptr;
  bool jack = false;
  if (snd_config_search_definition(top, "pcm", name.c_str(), &pcm) >= 0) {
    snd_config_t* type = nullptr;
    const char* value = nullptr;
    jack = snd_config_search(pcm, "type", &type) >= 0 && snd_config_get_string(type, &value) >= 0 &&
           value && std::strcmp(value, "jack") == 0;
    snd_config_delete(pcm);
  }
  snd_config_unref(top);
  return jack;
}

bool JackServerRunning() {
  const char* dir = std::getenv("JACK_TMPDIR");
  const std::string base = dir && *dir ? dir : "/dev/shm";
  const std::string uid = std::to_string(getuid());
  const std::string server = ServerName();
  // JACK 2's and JACK 1's request sockets.
  if (IsSocket(base + "/jack_" + server + "_" + uid + "_0") ||
      IsSocket(base + "/jack-" + uid + "/" + server + "/jack_0"))
    return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !IsSocket(std::string(runtime) + "/pipewire-0")) return false;
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  return ClientOpens();
}

void QuietJackMessages() {
  Libjack();
}
