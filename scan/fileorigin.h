#pragma once

#include <QDateTime>
#include <QString>

// The file a found photo was, when a deleted entry of the volume's file
// system still tells: its name, its folder and its times.
struct FileOrigin
{
    QString name;   // empty when the photo matched no entry
    QString folder; // '/' between names, empty for the root
    QDateTime modified;
    QDateTime created;
    QDateTime accessed;

    bool is_known() const { return !name.isEmpty(); }
};
