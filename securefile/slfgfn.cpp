// Slfgfn: builds "dir/name.ext" into a caller's buffer of outSize bytes.
#include <string.h>

#include <string_view>

#include "securefile/slf_file.h"

namespace {

constexpr int32_t kShortCode = kSlosErrRefused;
constexpr const char* kShortMessage = "Buffer too short";
constexpr const char* kShortRoutine = "Slfgfn";

}  // namespace

// The whole buffer is cleared first. The space needed counts the terminator
// and one byte more is kept in reserve: the text fits only when the space
// needed is less than outSize, so a 4096-byte buffer takes 4094 characters.
int Slfgfn(const char* name, const char* dir, const char* ext, int /*reserved*/, char* out,
           size_t outSize, slosErrRec* record) {
  memset(out, 0, outSize);

  const std::string_view dirText(dir == nullptr ? "" : dir);
  const std::string_view nameText(name);
  const std::string_view extText(ext == nullptr ? "" : ext);
  const bool separator = !dirText.empty() && dirText.back() != '/';

  size_t needed = dirText.size() + 1 + nameText.size();
  if (separator) {
    ++needed;
  }
  if (ext != nullptr) {
    needed += 1 + extText.size();
  }
  if (needed >= outSize) {
    slosFillErr(record, kShortCode, 0, kShortMessage, kShortRoutine);
    return -1;
  }

  // The buffer is all NUL already, so the text ends terminated.
  size_t at = 0;
  const auto put = [out, &at](std::string_view part) {
    part.copy(out + at, part.size());
    at += part.size();
  };
  put(dirText);
  if (separator) {
    put("/");
  }
  put(nameText);
  if (ext != nullptr) {
    put(".");
    put(extText);
  }
  return 0;
}
