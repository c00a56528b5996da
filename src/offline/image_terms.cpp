#include "offline/image_terms.h"

#include <cstdlib>
#include <utility>

namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

ImageTerms ImageTermsOfRun() {
  return ImageTerms{Variable(kImageCopiesVariable), Variable(kImageVolumeVariable), Variable(kImageOpeningVariable)};
}

bool NotCopiedFromImage(const std::string& sid) {
  const std::string listed = "\n" + Variable(kImageNotCopiedVariable) + "\n";
  return !sid.empty() && listed.find("\n" + sid + "\n") != std::string::npos;
}

std::string InImageTerms(const std::string& text, const ImageTerms& terms) {
  if (!terms.Active()) return text;
  std::string shown;
  std::size_t from = 0;
  for (std::size_t at = text.find(terms.copies); at != std::string::npos; at = text.find(terms.copies, from)) {
    shown.append(text, from, at - from);
    from = at + terms.copies.size();
    if (from >= text.size() || text[from] != '/') shown += terms.volume;
  }
  return shown + text.substr(from);
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

int ImageTermsBuf::overflow(int c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char single = traits_type::to_char_type(c);
  return xsputn(&single, 1) == 1 ? c : traits_type::eof();
}

std::streamsize ImageTermsBuf::xsputn(const char* text, std::streamsize count) {
  held_.append(text, static_cast<std::size_t>(count));
  return Pass(false) ? count : 0;
}

int ImageTermsBuf::sync() { return Pass(true) && target_->pubsync() == 0 ? 0 : -1; }

bool ImageTermsBuf::Pass(bool all) {
  // What could still be the start of the folder's name, or the folder's
  // name with what follows it unknown, waits.
  std::size_t keep = 0;
  if (!all) {
    const std::size_t longest = std::min(held_.size(), terms_.copies.size());
    for (std::size_t size = longest; size > 0 && keep == 0; --size) {
      if (held_.compare(held_.size() - size, size, terms_.copies, 0, size) == 0) keep = size;
    }
  }
  const std::string passed = InImageTerms(held_.substr(0, held_.size() - keep), terms_);
  held_.erase(0, held_.size() - keep);
  return target_->sputn(passed.data(), static_cast<std::streamsize>(passed.size())) ==
         static_cast<std::streamsize>(passed.size());
}
