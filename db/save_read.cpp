#include "db/save_read.h"

#include "db/layout.h"
#include "lib/file_io.h"
#include "lib/log.h"
#include "lib/mutex.h"

namespace {

// bug.txt holds the last faulting upload whole: two faults at once must not interleave its
// "DEC" line and its file. A leaf lock: the decoding itself runs without it.
annotated_mutex decode_fault_mutex;

}  // namespace

bool read_game_save(gametyp* game, std::string_view upload, std::string* message) {
  decode_fault fault;
  if (load_game_save(game, upload, message, &fault)) return true;
  if (fault.happened && !keep_decode_fault(fault, upload)) *message = "Crash in file parsing";
  return false;
}

bool keep_decode_fault(const decode_fault& fault, std::string_view upload) {
  mutex_lock lock(decode_fault_mutex);
  try {
    write_log("DEC", decode_fault_line(fault));
    write_file_atomic(decode_fault_dump_file, upload);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}
