#pragma once

#include <QMetaType>
#include <QString>

// How a scan ended and what it found, counted on the scan's own thread.
struct ScanSummary
{
    enum class Outcome {
        Completed, // read to the volume's end
        Stopped,   // stopped on request: what was found stays
        Failed,    // the volume could not be opened or went away (error says why)
    };
    Outcome outcome = Outcome::Completed;
    QString error;
    int found = 0;
    int partial = 0; // found, of which only the top part could be recovered
    int named = 0;   // found, that took the name of their deleted entry
    int damaged = 0; // found whole, with a few bytes of their data wrong
    qint64 unreadable_bytes = 0;
    qint64 bytes_read_again = 0; // read a second time to put broken photos together
    qint64 resume_offset = 0;    // where a scan resumed after this one reads from
};

Q_DECLARE_METATYPE(ScanSummary)
