// Arbitrary text into the parser: errors must be positioned TextParse errors;
// a parsed value must read back from its pretty-printed form, print stably,
// and survive the binary round trip. The reader's other builders must agree
// with the Value path: validating alone gives the same verdict and the same
// error, the events are well formed and their ASCII claims true, and a
// builder that stops part-way is reported as stopped, never as an error.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "oracles.hpp"
#include "tuvax/builder.hpp"
#include "tuvax/detail/utf8.hpp"
#include "tuvax/text.hpp"

namespace {

[[noreturn]] void broken(const std::string& what) {
  std::fprintf(stderr, "property broken: %s\n", what.c_str());
  std::abort();
}

// Checks the shape of the event stream and counts the events; stops (returns
// false) at event number `stop_at`.
class CheckingBuilder {
 public:
  explicit CheckingBuilder(std::size_t stop_at) : stop_at_(stop_at) {}

  bool null() { return scalar(); }
  bool boolean(bool) { return scalar(); }
  bool uint(std::uint64_t) { return scalar(); }
  bool integer(std::int64_t) { return scalar(); }
  bool real(double) { return scalar(); }
  bool str(std::string_view s, bool ascii) {
    text(s, ascii, "str");
    return scalar();
  }
  bool shared_str(std::string_view, std::size_t) { broken("the text reader sent shared_str"); }
  void reset_shared() noexcept {}
  bool bytes(std::span<const std::uint8_t>) { return scalar(); }
  bool begin_array(std::size_t) {
    if (!value_allowed()) broken("begin_array where no value may stand");
    key_pending_ = false;
    open_.push_back(false);
    return next();
  }
  bool end_array() {
    if (open_.empty() || open_.back()) broken("end_array without its begin_array");
    open_.pop_back();
    closed();
    return next();
  }
  bool begin_object(std::size_t) {
    if (!value_allowed()) broken("begin_object where no value may stand");
    key_pending_ = false;
    open_.push_back(true);
    return next();
  }
  bool key(std::string_view k, bool ascii) {
    if (open_.empty() || !open_.back() || key_pending_) broken("key outside an object or twice");
    text(k, ascii, "key");
    key_pending_ = true;
    return next();
  }
  bool end_object() {
    if (open_.empty() || !open_.back() || key_pending_) broken("end_object without its begin or after a key");
    open_.pop_back();
    closed();
    return next();
  }

  std::size_t events() const { return events_; }
  bool complete() const { return open_.empty() && top_done_; }

 private:
  bool value_allowed() const {
    if (open_.empty()) return !top_done_;
    return !open_.back() || key_pending_;
  }
  void closed() {
    key_pending_ = false;
    if (open_.empty()) top_done_ = true;
  }
  bool scalar() {
    if (!value_allowed()) broken("a value where no value may stand");
    closed();
    return next();
  }
  bool next() { return ++events_ != stop_at_; }
  static void text(std::string_view s, bool ascii, const char* what) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    const auto check = tuvax::detail::check_utf8(p, s.size());
    if (check == tuvax::detail::Utf8Check::invalid) broken(std::string(what) + " that is not UTF-8");
    if (ascii && check != tuvax::detail::Utf8Check::ascii) broken(std::string(what) + " claimed ASCII but is not");
  }

  std::size_t stop_at_;
  std::size_t events_ = 0;
  std::vector<bool> open_;  // true for an object
  bool key_pending_ = false;
  bool top_done_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const std::string bad = tuvax::oracle::check_text(text); !bad.empty()) broken(bad);

  const auto tree = tuvax::parse(text);
  tuvax::NullBuilder nothing;
  const auto valid = tuvax::parse_into(text, nothing);
  if (tree.has_value() != valid.has_value()) broken("validating and building disagree on the verdict");
  if (!tree && tree.error() != valid.error())
    broken("validating and building give different errors: " + valid.error().message() + " / " +
           tree.error().message());
  if (valid && !*valid) broken("NullBuilder reported as stopped");

  CheckingBuilder events(0);  // never stops
  const auto checked = tuvax::parse_into(text, events);
  if (checked.has_value() != tree.has_value() || (checked && !(*checked && events.complete())))
    broken("the event stream does not match the verdict");
  if (!checked) return 0;
  // Stopped at some event: reported as stopped, not as an error or success.
  if (events.events() > 0) {
    CheckingBuilder stopping(1 + size % events.events());
    const auto stopped = tuvax::parse_into(text, stopping);
    if (!stopped || *stopped) broken("a builder that stopped was not reported as stopped");
  }
  return 0;
}
