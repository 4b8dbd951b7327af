#include "db/save_read.h"

#include "db/layout.h"
#include "lib/file_io.h"
#include "lib/log.h"

bool read_game_save(gametyp* game, std::string_view upload, std::string* message) {
  decode_fault fault;
  if (load_game_save(game, upload, message, &fault)) return true;
  if (fault.happened && !keep_decode_fault(fault, upload)) *message = "Crash in file parsing";
  return false;
}

bool keep_decode_fault(const decode_fault& fault, std::string_view upload) {
  try {
    write_log("DEC", decode_fault_line(fault));
    write_file_atomic(decode_fault_dump_file, upload);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}
