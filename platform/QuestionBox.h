#pragma once

#include "platform/Dialogs.h"

// The widget half of Dialogs::ask(): a non-modal message box per open question. Kept apart from
// the question bookkeeping so the latter needs no widgets. GUI thread only.
namespace QuestionBox {

// Shows q without blocking; clicked runs once when the user closes the box (with the escape
// button's value, or NoButton, when it is closed without a button).
void open(int id, const Dialogs::Question &q, std::function<void(QMessageBox::StandardButton)> clicked);
// Closes the box of that question, if shown, without calling its clicked.
void close(int id);

} // namespace QuestionBox
