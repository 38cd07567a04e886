#include "nb/ui/toolkit/LayoutLoader.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "nb/ui/toolkit/ImageView.h"
#include "nb/ui/toolkit/Label.h"
#include "nb/ui/toolkit/TextField.h"

namespace nb::ui {

namespace {

struct Pending {
  std::shared_ptr<View> view;
  std::function<void()> connect;
};

class Builder {
 public:
  Builder(std::string file, const LayoutLoader::Bindings& bindings)
      : file_(std::move(file)), bindings_(bindings) {}

  Status fail(const std::string& what) const {
    return Status::corruption("interface file " + file_ + ": " + what);
  }

  std::optional<std::vector<double>> numbers(const JsonValue& v, std::size_t count) const {
    if (!v.isArray() || v.size() != count) return std::nullopt;
    std::vector<double> out;
    for (const JsonValue& e : v) {
      if (!e.isNumber()) return std::nullopt;
      out.push_back(e.decimalValue().toDouble());
    }
    return out;
  }

  Status color(const JsonValue& object, const char* key, Color& out) const {
    const JsonValue* v = object.find(key);
    if (v == nullptr) return Status::OK();
    auto n = numbers(*v, 4);
    if (!n) return fail(std::string("\"") + key + "\" must be four numbers");
    out = {(*n)[0], (*n)[1], (*n)[2], (*n)[3]};
    return Status::OK();
  }

  std::optional<std::string> text(const JsonValue& object, const char* key) const {
    const JsonValue* v = object.find(key);
    if (v == nullptr || !v->isString()) return std::nullopt;
    return std::string(v->stringValue());
  }

  Status action(const JsonValue& object, std::function<void()>& out) const {
    const JsonValue* v = object.find("action");
    if (v == nullptr) return Status::OK();
    const auto found = bindings_.actions.find(std::string(v->stringValue()));
    if (!v->isString() || found == bindings_.actions.end()) {
      return fail("unknown action \"" + std::string(v->stringValue()) + "\"");
    }
    out = found->second;
    return Status::OK();
  }

  Result<Pending> view(const JsonValue& node) const {
    if (!node.isObject()) return fail("every view must be an object");
    const std::string type = text(node, "type").value_or("");
    const JsonValue* frameValue = node.find("frame");
    auto frame = frameValue ? numbers(*frameValue, 4) : std::nullopt;
    if (!frame) return fail("view of type \"" + type + "\" needs \"frame\": [x, y, w, h]");
    const Rect rect((*frame)[0], (*frame)[1], (*frame)[2], (*frame)[3]);
    const double fontSize = node.find("fontSize") && node.find("fontSize")->isNumber()
                                ? node.find("fontSize")->decimalValue().toDouble()
                                : 16;
    const bool bold = node.find("bold") && node.find("bold")->boolValue();
    const Font font =
        bold ? Font::boldSystemFontOfSize(fontSize) : Font::systemFontOfSize(fontSize);
    Pending out;
    if (type == "label") {
      auto label = std::make_shared<Label>(rect);
      label->setText(text(node, "text").value_or(""));
      label->setFont(font);
      Color c = Color::black();
      if (Status s = color(node, "textColor", c); !s.ok()) return s;
      label->setTextColor(c);
      const std::string align = text(node, "alignment").value_or("left");
      label->setTextAlignment(align == "center"  ? TextAlignment::kCenter
                              : align == "right" ? TextAlignment::kRight
                                                 : TextAlignment::kLeft);
      out.view = label;
    } else if (type == "textField") {
      auto field = std::make_shared<TextField>(rect);
      field->setPlaceholder(text(node, "placeholder").value_or(""));
      field->setSecureTextEntry(node.find("secure") && node.find("secure")->boolValue());
      field->setFont(font);
      std::function<void()> fn;
      if (Status s = action(node, fn); !s.ok()) return s;
      field->setReturnAction(fn);
      out.view = field;
    } else if (type == "button") {
      auto button = std::make_shared<Button>(rect);
      button->setTitle(text(node, "title").value_or(""));
      button->setFont(Font::boldSystemFontOfSize(fontSize));
      Color c = Color::white();
      if (Status s = color(node, "titleColor", c); !s.ok()) return s;
      button->setTitleColor(c);
      std::function<void()> fn;
      if (Status s = action(node, fn); !s.ok()) return s;
      button->setAction(fn);
      out.view = button;
    } else if (type == "imageView") {
      out.view = std::make_shared<ImageView>(rect);
    } else if (type == "view") {
      out.view = std::make_shared<View>(rect);
    } else {
      return fail("unknown view type \"" + type + "\"");
    }
    if (const JsonValue* mask = node.find("autoresizingMask")) {
      if (!mask->isNumber()) return fail("\"autoresizingMask\" must be a number");
      out.view->setAutoresizingMask(unsigned(mask->decimalValue().toDouble()));
    }
    Color background = out.view->backgroundColor();
    if (Status s = color(node, "backgroundColor", background); !s.ok()) return s;
    out.view->setBackgroundColor(background);
    if (auto outlet = text(node, "outlet")) {
      const auto found = bindings_.outlets.find(*outlet);
      if (found == bindings_.outlets.end()) return fail("unknown outlet \"" + *outlet + "\"");
      auto setter = found->second;
      auto view = out.view;
      out.connect = [setter, view] { setter(view); };
    }
    return out;
  }

  Result<std::shared_ptr<Button>> build(const std::string& json) const {
    const std::optional<JsonValue> parsed = NBJsonUtility::jsonValueFromString(json);
    if (!parsed || !parsed->isObject()) return fail("not a JSON object");
    const JsonValue& root = *parsed;
    const JsonValue* sizeValue = root.find("size");
    auto size = sizeValue ? numbers(*sizeValue, 2) : std::nullopt;
    if (!size) return fail("\"size\" must be [width, height]");
    auto rootView = std::make_shared<Button>(Rect(0, 0, (*size)[0], (*size)[1]));
    Color background = Color::white();
    if (Status s = color(root, "backgroundColor", background); !s.ok()) return s;
    rootView->setBackgroundColor(background);
    std::function<void()> backgroundAction;
    if (Status s = action(root, backgroundAction); !s.ok()) return s;
    rootView->setAction(backgroundAction);
    const JsonValue* views = root.find("views");
    if (views == nullptr || !views->isArray()) return fail("\"views\" must be a list");
    std::vector<std::function<void()>> connections;
    for (const JsonValue& node : *views) {
      Result<Pending> pending = view(node);
      if (!pending.ok()) return pending.status();
      rootView->addSubview(pending->view);
      if (pending->connect) connections.push_back(pending->connect);
    }
    // Connected only once the whole file is known to be good.
    for (auto& connect : connections) connect();
    return rootView;
  }

 private:
  std::string file_;
  const LayoutLoader::Bindings& bindings_;
};

}  // namespace

std::string LayoutLoader::layoutDirectory() {
  if (const char* dir = std::getenv("NB_UI_LAYOUT_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code ec;
  if (std::filesystem::is_directory(NB_UI_INSTALLED_LAYOUT_DIR, ec))
    return NB_UI_INSTALLED_LAYOUT_DIR;
  return NB_UI_SOURCE_LAYOUT_DIR;
}

Result<std::shared_ptr<Button>> LayoutLoader::load(const std::string& name,
                                                   const Bindings& bindings) {
  const std::string path = layoutDirectory() + "/" + name + ".json";
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return Status::notFound("interface file " + name + " not found (looked for " + path + ")");
  std::ostringstream content;
  content << in.rdbuf();
  return loadFromString(name, content.str(), bindings);
}

Result<std::shared_ptr<Button>> LayoutLoader::loadFromString(const std::string& name,
                                                             const std::string& json,
                                                             const Bindings& bindings) {
  return Builder(name, bindings).build(json);
}

}  // namespace nb::ui
