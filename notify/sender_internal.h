// What the sender's control (start, reload, stop: notify/sender_control.cpp) and its thread
// (notify/sender.cpp) share. Only those two files include it; notify/sender.h is the contract.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <thread>

#include "lib/mutex.h"
#include "notify/config.h"

// The running sender. `multi` is made before the thread starts and cleaned up after it ends.
struct notify_sender {
  std::string root;
  CURLM* multi = nullptr;
  std::thread thread;
  annotated_mutex mutex;
  // The settings to use from now on: the server's configuration in force, shared, not copied.
  // `config_changed` says whether they differ from those before (or none were taken yet).
  std::shared_ptr<const notify_config> next_config GUARDED_BY(mutex);
  bool config_changed GUARDED_BY(mutex) = false;
  bool stopping GUARDED_BY(mutex) = false;
};

// The sender thread: takes `next_config` whenever it changes (and applies it when
// `config_changed` is set), and sends until
// `stopping` is set (a curl_multi_wakeup on `multi` makes it look at once), then returns with
// its transfers out of `multi`.
void run_sender(notify_sender* s);
