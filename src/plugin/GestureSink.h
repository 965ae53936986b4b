#pragma once

// The edit-history gesture a control runs its edits inside, so that one drag or one click becomes
// one undo step. The editor hands the controls the processor's history through this.
namespace tq4
{

struct GestureSink
{
    virtual ~GestureSink() = default;

    // Opens a gesture (nested gestures count); the first one takes the before-snapshot.
    virtual void beginGesture() = 0;

    // Records the pending snapshot as an undo step once the state has really changed.
    virtual void commitPending() = 0;

    // Closes a gesture; closing the outermost drops a snapshot that never changed.
    virtual void endGesture() = 0;
};

} // namespace tq4
