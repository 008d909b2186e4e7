#pragma once

class QLabel;
class QPushButton;

// The form's sizes were made for other fonts than a Linux desktop's, and
// the texts stay as they are: these make a widget fit its text instead.

// A label without word wrap whose text (its widest line) is wider than the label gets a smaller font
// until it fits.
void fit_label_font(QLabel *label);

// Makes a one-line label as wide as its text but ending before x (in its
// parent), with a smaller font where the text is wider than that.
void fit_label_before(QLabel *label, int x);

// Widens a one-line label, up to most pixels, until its text fits.
void widen_label_to_text(QLabel *label, int most);

// Widens a push button until its text fits between its margins.
void fit_button_width(QPushButton *button);
