#pragma once

namespace sparwick {

// Whatever shows an update's progress: the progress dialog, a terminal bar, a test.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // percent runs from 0 up; the last report is that of the last block's start.
    virtual void setProgress(int percent) = 0;
};

} // namespace sparwick
