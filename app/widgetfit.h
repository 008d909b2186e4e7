#pragma once

class QLabel;
class QPushButton;

// The form's sizes were made for other fonts than a Linux desktop's, and
// the texts stay as they are: these make a widget fit its text instead.

// A label without word wrap whose text (its widest line) is wider than the label gets a smaller font
// until it fits.
void fit_label_font(QLabel *label);

// Widens a push button until its text fits between its margins.
void fit_button_width(QPushButton *button);
