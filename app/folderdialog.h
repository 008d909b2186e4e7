#pragma once

#include <QFileDialog>
#include <QString>

// The folder the photos are restored into: Qt's folder dialog, whose own
// button makes a new folder, taking a typed path as users mean it. A typed
// folder that does not exist yet is made (as velvora-scan makes its OUTDIR),
// and a path is accepted with or without a trailing slash, also one made
// outside the dialog after it opened.
class FolderDialog : public QFileDialog
{
    Q_OBJECT

public:
    FolderDialog(QWidget *parent, const QString &caption, const QString &directory);

    // The folder chosen, made if it was missing; empty when cancelled.
    static QString choose(QWidget *parent, const QString &caption, const QString &directory);
    QString chosen() const { return chosen_folder; }

public slots:
    void accept() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The folder the typed text names (relative to the folder shown, "~"
    // for the home folder), or the folder shown when nothing is typed.
    QString typed_folder() const;
    // A folder that is there, or could be made under one that is.
    static bool can_be_chosen(const QString &folder);
    // "Choose" is pressable exactly when the typed folder can be chosen.
    void keep_choose_enabled();

    QString chosen_folder;
};
