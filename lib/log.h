// The event log: one tagged, time-stamped line per event, appended to the log file (whatever
// file its name leads to at that line, so the file can be rotated while the server runs) and
// echoed to standard output when echo is on.
//
// Line layout: "<date>-<time>:[<tag padded to 10>]:<message>\r\n"; with an empty tag the line
// is the message alone. A CR or LF in the tag or message is written as a blank, so that one
// call is always one line. The date is "YYYY-MM-DD" and the time "HH:MM:SS" (local time).
// Tags: SYS (start, stop, listener), UPD (loading, the hourly pass), LOG / LOG-ERR (a protocol
// request / its refusal), SVOP (a submission), LOGPAGE (a status page), DEC (a save that faulted
// the decoder), ADM (an operation through the admin socket, with its outcome), ERR (failures).
#pragma once

#include <string>
#include <string_view>

// Sets the file every later line goes to and whether lines are echoed to stdout.
// Defaults: "thelog.log", no echo. The server sets "zts.log" with echo on.
void set_log_file(std::string file_name, bool echo);

// Current log file name (for the raw log download).
std::string log_file_name();

// Writes one line. Callers on any thread; each line is one write, so none is lost or
// interleaved. File errors are ignored. With halt on, the process
// ends with exit status 1 after the line is written (a service manager restarts a server that
// fails); the call does not return then.
void write_log(std::string_view tag, std::string_view message, bool halt = false);

// In a catch block: what the exception being handled says (an io_error names the path and the
// system's reason), or "unknown exception" for one that is not a std::exception.
std::string current_exception_text();

// A failure's two lines: the "ERR" line `line` as it has always read, then one more "ERR" line
// with why: "<context>: <cause>" (just the cause when `context` is empty; line ends inside it
// become blanks, so it stays one line). `halt` as for write_log, after both lines.
void write_error_cause(std::string_view line, std::string_view context, std::string_view cause,
                       bool halt = false);

// The text with blanks appended until it is at least `width` bytes long.
std::string pad_right(std::string_view text, size_t width);
