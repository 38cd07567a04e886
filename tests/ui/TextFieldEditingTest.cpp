// Editing in a text field as the keyboard, the mouse and the clipboard drive
// it: caret motion over multi-byte characters, selection, replacement,
// passwords that refuse to be copied, the composition of an input method, and
// the text scrolled so that the caret stays in view.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "nb/ui/toolkit/Renderer.h"
#include "nb/ui/toolkit/TextField.h"
#include "nb/ui/toolkit/Window.h"

namespace nb::ui {
namespace {

using Motion = TextField::Motion;

struct EditCase {
  const char* name;
  const char* start;  // the caret ends up after it
  std::function<void(TextField&)> edit;
  const char* text;
  const char* selected;
};

TEST(TextFieldEditing, KeysMoveSelectAndReplaceOnCharacterBoundaries) {
  const std::vector<EditCase> cases = {
      {"typing goes in at the caret", "密码",
       [](TextField& f) { f.moveCaret(Motion::kLeft, false), f.insertText("é"); }, "密é码", ""},
      {"backspace and delete take one character each side", "aé密b",
       [](TextField& f) {
         f.moveCaret(Motion::kHome, false), f.moveCaret(Motion::kRight, false);
         f.moveCaret(Motion::kRight, false), f.deleteBackward(), f.deleteForward();
       },
       "ab", ""},
      {"shift+left selects backwards, typing replaces", "user@example.com",
       [](TextField& f) {
         for (int i = 0; i < 3; ++i) f.moveCaret(Motion::kLeft, true);
         f.insertText("org");
       },
       "user@example.org", ""},
      {"shift+home selects to the start", "abc密",
       [](TextField& f) { f.moveCaret(Motion::kLeft, false), f.moveCaret(Motion::kHome, true); },
       "abc密", "abc"},
      {"left collapses a selection to its start", "abcd",
       [](TextField& f) { f.selectAll(), f.moveCaret(Motion::kLeft, false), f.insertText(">"); },
       ">abcd", ""},
      {"select all then delete empties", "密码123",
       [](TextField& f) { f.selectAll(), f.deleteBackward(); }, "", ""},
      {"backspace at the start does nothing", "ab",
       [](TextField& f) { f.moveCaret(Motion::kHome, false), f.deleteBackward(); }, "ab", ""},
      {"delete at the end does nothing", "ab", [](TextField& f) { f.deleteForward(); }, "ab", ""},
      {"a committed composition replaces the selection", "abc",
       [](TextField& f) {
         f.moveCaret(Motion::kLeft, true), f.setMarkedText("mi"), f.insertText("密");
       },
       "ab密", ""},
  };
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.name);
    TextField field(Rect(0, 0, 200, 40));
    field.setText(c.start);
    c.edit(field);
    EXPECT_EQ(field.text(), c.text);
    EXPECT_EQ(field.selectedText(), c.selected);
    EXPECT_EQ(field.markedText(), "");
  }
}

TEST(TextFieldEditing, PasswordsRefuseCopyAndCutButTakePaste) {
  for (bool secure : {false, true}) {
    SCOPED_TRACE(secure ? "password" : "plain");
    TextField field(Rect(0, 0, 200, 40));
    field.setSecureTextEntry(secure);
    field.setText("pässwörd");
    EXPECT_EQ(field.copySelection(), std::nullopt);  // nothing selected
    field.selectAll();
    EXPECT_EQ(field.copySelection(),
              secure ? std::nullopt : std::optional<std::string>("pässwörd"));
    EXPECT_EQ(field.cutSelection(), secure ? std::nullopt : std::optional<std::string>("pässwörd"));
    EXPECT_EQ(field.text(), secure ? "pässwörd" : "");
    field.insertText("pasted");  // what a paste does
    EXPECT_EQ(field.text(), "pasted");
  }
}

TEST(TextFieldEditing, TheCaretStaysInViewAndTheMouseFindsCharacters) {
  auto window = std::make_shared<Window>(Rect(0, 0, 320, 100));
  auto field = std::make_shared<TextField>(Rect(10, 10, 120, 40));
  window->addSubview(field);
  field->becomeFirstResponder();
  field->setText("a-long-user-name-that-cannot-fit@example.com");
  const Rect inView = field->bounds();
  auto visible = [&](const Rect& caret) {
    return caret.minX() >= inView.minX() && caret.maxX() <= inView.maxX();
  };
  EXPECT_TRUE(visible(field->caretRect()));  // at the end: the text scrolled left
  field->moveCaret(Motion::kHome, false);
  EXPECT_TRUE(visible(field->caretRect()));
  EXPECT_LE(field->caretRect().minX(), 10);  // back at the start: scrolled back

  // A click at the caret's place puts the caret there; a drag selects.
  field->moveCaret(Motion::kRight, false);
  field->moveCaret(Motion::kRight, false);
  const Rect two = field->caretRect();
  field->moveCaret(Motion::kEnd, false);
  field->setCaretAtPoint({two.minX(), 20}, false);
  EXPECT_EQ(field->caret(), 2u);
  field->setCaretAtPoint({two.minX() + 30, 20}, true);
  EXPECT_EQ(field->selectionAnchor(), 2u);
  EXPECT_GT(field->caret(), 2u);

  // The secure field maps dots back to characters: two dots in, two characters.
  field->setSecureTextEntry(true);
  field->setText("密码pw");
  field->moveCaret(Motion::kHome, false);
  field->moveCaret(Motion::kRight, false);
  field->moveCaret(Motion::kRight, false);
  const Rect afterTwo = field->caretRect();
  field->moveCaret(Motion::kEnd, false);
  field->setCaretAtPoint({afterTwo.minX(), 20}, false);
  EXPECT_EQ(field->caret(), std::string("密码").size());
}

TEST(TextFieldEditing, CompositionShowsAtTheCaretUntilCommitted) {
  auto window = std::make_shared<Window>(Rect(0, 0, 320, 100));
  auto field = std::make_shared<TextField>(Rect(10, 10, 200, 40));
  window->addSubview(field);
  field->becomeFirstResponder();
  field->setText("ab");
  const double before = field->caretRect().minX();
  field->setMarkedText("mima");
  EXPECT_EQ(field->text(), "ab");
  EXPECT_GT(field->caretRect().minX(), before + 10);  // the input method's list follows
  const Image composing = Renderer::render(*window);
  field->setMarkedText("");
  const Image plain = Renderer::render(*window);
  EXPECT_FALSE(
      std::equal(plain.data(), plain.data() + plain.stride() * plain.height(), composing.data()));
  field->resignFirstResponder();  // losing the focus drops a composition
  field->becomeFirstResponder();
  field->setMarkedText("x");
  field->resignFirstResponder();
  EXPECT_EQ(field->markedText(), "");
  EXPECT_EQ(field->text(), "ab");
}

}  // namespace
}  // namespace nb::ui
