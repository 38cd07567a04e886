#include "cli/Printer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "cli/ExitCode.h"
#include "cli/FailureText.h"
#include "nb/Private/JsonFramework/NBJsonUtility.h"

namespace nb::cli {
namespace {

// The length of the well-formed UTF-8 sequence at the start of `text` and its
// code point; 0 when the first byte starts none.
std::size_t utf8Sequence(std::string_view text, char32_t& point) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, point = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    point = (point << 6) | (byte(i) & 0x3F);
  }
  const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
  return length;
}

void appendHex(std::string& out, const char* prefix, unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%s%0*x", prefix, digits, value);
  out += text;
}

// `text` escaped as Printer::visible says; line feeds kept when `keepLineFeeds`
// (the command's own layout of a many-line result).
std::string escaped(std::string_view text, bool keepLineFeeds) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      switch (c) {
        case '\n':
          out += keepLineFeeds ? "\n" : "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\0':
          out += "\\0";
          break;
        default:
          appendHex(out, "\\x", c, 2);
      }
      ++i;
      continue;
    }
    char32_t point = 0;
    const std::size_t length = utf8Sequence(text.substr(i), point);
    if (length == 0) {
      appendHex(out, "\\x", c, 2);
      ++i;
    } else if (point <= 0x9F) {
      appendHex(out, "\\u", static_cast<unsigned>(point), 4);
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace

std::string Printer::visible(std::string_view text) { return escaped(text, false); }

Printer::Printer(bool json, std::ostream& out, std::ostream& err)
    : json_(json), out_(out), err_(err) {}

void Printer::result(const JsonValue& value, const std::string& plain) {
  if (json_) {
    out_ << NBJsonUtility::jsonValueFromObject(value).value_or("null") << '\n';
    printedResult_ = true;
  } else if (!plain.empty()) {
    out_ << escaped(plain, true);
    if (plain.back() != '\n') out_ << '\n';
  }
  errno = 0;
  out_.flush();
  if (!out_ && outputError_ == 0) outputError_ = errno != 0 ? errno : EIO;
}

void Printer::warning(const std::string& text) {
  err_ << "nb: " << visible(text) << '\n';
  err_.flush();
}

Status Printer::outputStatus() const {
  if (outputError_ == 0) return Status::OK();
  return Status::ioError(std::string("cannot write the output: ") + std::strerror(outputError_));
}

int Printer::error(const Status& status) {
  const int exitCode = exitCodeFor(status);
  const std::string explanation = FailureText::explanation(status);
  // A stdout that cannot be written gets nothing more: the failure goes to stderr.
  if (json_ && outputError_ == 0) {
    if (printedResult_) return exitCode;
    JsonValue value = JsonValue::object();
    value.set("error", JsonValue(status.message()));
    value.set("code", JsonValue(FailureText::machineCode(status)));
    value.set("explanation", JsonValue(explanation.empty() ? status.message() : explanation));
    value.set("exit_code", JsonValue(static_cast<std::int64_t>(exitCode)));
    result(value, "");
  } else {
    err_ << "nb: " << visible(status.message());
    if (!explanation.empty()) err_ << " (" << explanation << ")";
    err_ << '\n';
    err_.flush();
  }
  return exitCode;
}

void Printer::note(const std::string& text) {
  if (json_) return;
  err_ << visible(text) << '\n';
  err_.flush();
}

}  // namespace nb::cli
