#include "server/DocumentRenderer.h"

#include <vector>

#include "nb/Private/NSURLHelper.h"
#include "server/HtmlText.h"

namespace nb::server {
namespace {

// Splits CSV text into rows of fields: commas separate, double quotes enclose
// fields that hold commas, quotes ("" inside) or line breaks.
std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1);
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field.push_back('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field.push_back(c);
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().push_back(std::move(field));
      field.clear();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      rows.back().push_back(std::move(field));
      field.clear();
      rows.emplace_back();
    } else {
      field.push_back(c);
    }
  }
  if (!field.empty() || !rows.back().empty()) rows.back().push_back(std::move(field));
  if (rows.back().empty()) rows.pop_back();
  return rows;
}

}  // namespace

bool DocumentRenderer::supports(const std::string& type) { return type == "txt" || type == "csv"; }

std::optional<std::string> DocumentRenderer::render(const std::string& type,
                                                    const std::string& view,
                                                    const std::string& title,
                                                    const std::string& content) {
  // Binary content (a NUL byte or invalid UTF-8) is not a text document.
  if (content.find('\0') != std::string::npos || !NSURLHelper::isValidUTF8(content)) {
    return std::nullopt;
  }
  const std::string width = view == "iPad" ? "768" : "320";
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=" + width + "\"><title>" + HtmlText::escape(title) +
      "</title><style>body{font-family:sans-serif;margin:8px}pre{white-space:pre-wrap}"
      "table{border-collapse:collapse}td{border:1px solid #999;padding:2px 4px}</style>"
      "</head><body>\n";
  if (type == "csv") {
    html += "<table>\n";
    for (const auto& row : parseCsv(content)) {
      html += "<tr>";
      for (const auto& field : row) html += "<td>" + HtmlText::escape(field) + "</td>";
      html += "</tr>\n";
    }
    html += "</table>\n";
  } else {
    html += "<pre>" + HtmlText::escape(content) + "</pre>\n";
  }
  html += "</body></html>\n";
  return html;
}

}  // namespace nb::server
