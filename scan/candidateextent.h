#pragma once

#include <QByteArray>

#include <functional>

// How much of a given-up JPEG candidate is worth reading again to resolve
// it: up to just past where its data goes wrong.
class CandidateExtent
{
public:
    // window: what further pieces may add to the candidate's bytes;
    // progressive_limit: what is read again of a progressive candidate, which
    // the walker cannot follow. 0 when the candidate never reaches image data
    // (a false start) or claims a frame no camera makes.
    static qint64 useful_length(const char *candidate, qint64 length, qint64 window, qint64 progressive_limit,
                                const std::function<bool()> &stopped = {});
};
