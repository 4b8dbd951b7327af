// Headless Chromium for end-to-end tests of the pages: one-shot runs that keep a page's DOM
// and screenshot (--dump-dom, --screenshot), and a live session driven over the DevTools pipe
// for what a one-shot run cannot see (real timings, typing). Each browser is its own process
// group with a hard time limit, killed with everything it started.
//
// Chromium is required: set ZTS_CHROMIUM to use another binary than /usr/bin/chromium.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/json_reader.h"

// The browser binary: $ZTS_CHROMIUM or /usr/bin/chromium.
std::string chromium_path();

// <build>/browser_artifacts, where every run keeps its DOM, screenshot and log.
std::string browser_artifact_dir();

// What one browser run gave: the serialized DOM, and whether the PNG was written.
struct browser_page {
  std::string dom;
  bool finished = false;
};

// Loads `url` in headless Chromium with a fresh profile, keeps its DOM as <name>.html and its
// screenshot as <name>.png under browser_artifact_dir(). `extra` arguments go before the URL
// (a later --window-size overrides the default 1024x600). Records a test failure when the run
// fails or leaves no PNG.
browser_page render(const std::string& url, const std::string& name,
                    const std::vector<std::string>& extra = {});

// The visible text of serialized HTML: every tag a blank, the entities the serializer writes
// decoded (a no-break space becomes a blank), and every run of blanks one blank.
std::string text_of(const std::string& html);

// The href of the first link whose attribute begins with `prefix` (as serialized: "&amp;"),
// made absolute against the page it is on, or "" when there is none.
std::string link_target(const std::string& dom, const std::string& page_url,
                        const std::string& prefix);

// The pieces of `text` in order: each must follow the one before it.
::testing::AssertionResult in_order(const std::string& text, const std::vector<std::string>& parts);

// A headless Chromium kept running, driven over --remote-debugging-pipe: one page, JavaScript
// evaluated in it. Killed with its process group at the end of the scope.
class browser_session {
 public:
  // Starts the browser on about:blank; throws std::runtime_error when it cannot be attached.
  explicit browser_session(int width = 1280, int height = 800);
  ~browser_session();
  browser_session(const browser_session&) = delete;
  browser_session& operator=(const browser_session&) = delete;

  // Starts loading `url` in the page (returns once the navigation is under way).
  void navigate(const std::string& url);
  // Evaluates `expression` in the page (a promise is awaited) and returns its value as JSON
  // text, or "" when evaluation failed (e.g. the page was between documents).
  std::string evaluate(const std::string& expression);
  // Evaluates `expression` every 50 ms until it gives something other than "", "null",
  // "false", "0" or "\"\"", and returns that; "" when `limit` passes first.
  std::string wait_for(const std::string& expression, std::chrono::milliseconds limit);

 private:
  json_value call(const std::string& method, const std::string& params, bool in_page);

  pid_t pid_ = -1;
  int to_browser_ = -1, from_browser_ = -1;
  int next_id_ = 1;
  std::string session_, pending_;
  std::string profile_;
};
