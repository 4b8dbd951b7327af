// Starting, reloading and stopping the sender thread, and the one-off test message.
#include "notify/sender.h"

#include <memory>
#include <thread>

#include "lib/asys.h"
#include "lib/log.h"
#include "lib/mutex.h"
#include "notify/delivery.h"
#include "notify/message.h"
#include "notify/sender_internal.h"

namespace {

std::string target_list(const notify_config& config) {
  std::string out;
  for (const notify_target& t : config.targets) {
    out += (out.empty() ? "" : ", ") + target_name(t);
  }
  return out;
}

// Start, reload and stop may come from different threads (start-up, the signal waiter).
annotated_mutex control_mutex;
// The running sender, or null. Never destroyed at exit: a thread still joinable then would end
// the process abnormally, and the halt path of the event log exits without a stop.
notify_sender* running GUARDED_BY(control_mutex) = nullptr;
// What `running` was last given (null when none runs): what a reconfiguration compares with.
std::shared_ptr<const notify_config> running_config GUARDED_BY(control_mutex);

void stop_locked() REQUIRES(control_mutex) {
  if (!running) return;
  {
    mutex_lock lock(running->mutex);
    running->stopping = true;
  }
  // Should the wake-up fail, the sender's poll still ends within a second.
  static_cast<void>(curl_multi_wakeup(running->multi));
  running->thread.join();
  curl_multi_cleanup(running->multi);
  delete running;
  running = nullptr;
  running_config.reset();
}

// Hands `config` to the running sender; `changed`: its settings differ from those it has.
void hand_over(const std::shared_ptr<const notify_config>& config, bool changed)
    REQUIRES(control_mutex) {
  {
    mutex_lock lock(running->mutex);
    running->next_config = config;
    running->config_changed = running->config_changed || changed;
  }
  running_config = config;
}

void start_locked(const std::shared_ptr<const notify_config>& config, const std::string& root)
    REQUIRES(control_mutex) {
  init_curl_once();
  auto s = std::make_unique<notify_sender>();
  s->root = root;
  s->multi = curl_multi_init();
  if (!s->multi) {
    write_log("ERR", "Notifications off: curl_multi_init failed");
    return;
  }
  {
    mutex_lock lock(s->mutex);
    s->next_config = config;
    s->config_changed = true;
  }
  s->thread = std::thread(run_sender, s.get());
  running = s.release();
  running_config = config;
  write_log("SYS", "Notifications to " + target_list(*config));
}

}  // namespace

void start_notify(std::shared_ptr<const notify_config> config, const std::string& root) {
  reconfigure_notify(std::move(config), root);
}

void reconfigure_notify(std::shared_ptr<const notify_config> config, const std::string& root) {
  mutex_lock control(control_mutex);
  if (!running) {
    if (!config->targets.empty()) start_locked(config, root);
    return;
  }
  if (*config == *running_config) {
    // Taken at the sender's next turn, so the configuration it replaces is not kept alive.
    hand_over(config, false);
    return;
  }
  if (config->targets.empty()) {
    stop_locked();
    write_log("SYS", "Notifications off");
    return;
  }
  const bool new_targets = config->targets != running_config->targets;
  hand_over(config, true);
  static_cast<void>(curl_multi_wakeup(running->multi));  // as in stop_locked
  if (new_targets) write_log("SYS", "Notifications to " + target_list(*config));
}

void stop_notify() {
  mutex_lock control(control_mutex);
  stop_locked();
}

int notify_test(const notify_config& config, std::ostream& out) {
  int failures = 0;
  notify_event e;
  e.kind = event_kind::test;
  e.game.id = -1;
  e.event_id = "zts-test-" + std::to_string(server_clock());
  for (const notify_target& target : config.targets) {
    delivery_result r;
    try {
      r = deliver_now(render_request(e, target, config), config.ca_file);
    } catch (const std::exception& ex) {
      r.outcome = delivery_outcome::failed;
      r.reason = ex.what();
    }
    bool ok = r.outcome == delivery_outcome::sent;
    failures += ok ? 0 : 1;
    out << (ok ? "ok    " : "FAIL  ") << target_name(target) << ": " << r.reason << "\n";
  }
  return failures;
}
