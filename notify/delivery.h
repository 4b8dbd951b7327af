// Delivery of one message over HTTP(S) with libcurl: the system's certificates (or the
// configured CA file), connect and total timeouts, no redirects followed, the response body
// read up to a small bound. The outcome says whether to retry.
//
// Webhook URLs hold secrets (tokens in the path or query): only url_origin() of a URL may
// appear in a log line or a metric.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "notify/message.h"

// A slow target must not hold its turn for long; a stuck one is cut off after the total.
inline constexpr long connect_timeout_ms = 5000;
inline constexpr long total_timeout_ms = 15000;
// Webhook answers are tiny; anything longer is read no further.
inline constexpr size_t max_response_bytes = 16 * 1024;

// True for an http:// or https:// URL with a host; otherwise false with *why (which never
// repeats the URL).
bool check_target_url(const std::string& url, std::string* why);

// "https://hooks.example.org" (scheme and host, with a port other than the default), or
// "(invalid URL)".
std::string url_origin(const std::string& url);

// How log lines, --notify-test and metrics name a target: its label, or "<origin> (<format>)"
// ("https://hooks.example.org (discord)"), never its URL.
std::string target_name(const notify_target& target);

enum class delivery_outcome {
  sent,    // a 2xx answer
  retry,   // no answer, a timeout, 408, 429 or 5xx: try again later
  failed,  // an answer that will not change by retrying (a redirect, another 4xx)
};

struct delivery_result {
  delivery_outcome outcome = delivery_outcome::retry;
  long http_status = 0;        // 0: no answer
  uint32_t retry_after_s = 0;  // from a 429's Retry-After, 0 when absent
  std::string reason;          // "HTTP 500", "Timeout was reached", ... (never the URL)
};

// Must run once before any thread uses curl (not thread-safe in libcurl). Idempotent.
void init_curl_once();

// One transfer in progress, for a curl multi handle. Owns its easy handle and header list.
struct transfer {
  transfer() = default;
  ~transfer();
  transfer(const transfer&) = delete;
  transfer& operator=(const transfer&) = delete;

  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string body;      // the request body (curl reads it from here)
  std::string response;  // up to max_response_bytes of the answer
};

// A transfer ready to be added to a multi handle (or run with curl_easy_perform). `ca_file`
// empty: the system's certificates. Throws std::runtime_error when curl cannot make a handle.
std::unique_ptr<transfer> make_transfer(const outgoing_request& request,
                                        const std::string& ca_file);

// The outcome of a transfer curl reported done with `code`.
delivery_result transfer_result(const transfer& t, CURLcode code);

// Sends one request and waits for the outcome (the operator's test command).
delivery_result deliver_now(const outgoing_request& request, const std::string& ca_file);
