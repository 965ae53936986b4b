#pragma once

#include "plugin/GestureSink.h"

#include <juce_data_structures/juce_data_structures.h>

#include <deque>
#include <functional>

class TQ4AudioProcessor;

namespace tq4
{

// Undo and redo as whole-state snapshots taken before each gesture. A gesture that changes nothing
// leaves no entry; bypass is never part of an edit. Every operation first forgets whatever came before
// the last host restore. Message thread only.
class EditHistory : public GestureSink
{
public:
    static constexpr size_t maxEntries = 100;

    explicit EditHistory(TQ4AudioProcessor& owner);

    void syncGeneration();
    juce::ValueTree snapshotState() const;

    void beginGesture() override;
    void commitPending() override;
    void endGesture() override;
    void discardPending();
    void pushUndo(const juce::ValueTree& snapshot);

    bool undo();
    bool redo();
    bool canUndo();
    bool canRedo();

    bool restoreSnapshot(const juce::ValueTree& snapshot, int expectedGeneration);

    // Lets a late result (the drive compensation of a learn) reach every snapshot of that learn.
    void forEachSnapshot(const std::function<void(juce::ValueTree&)>& visit);

    bool hasPending() const noexcept { return pendingValid; }
    size_t undoCount() const noexcept { return undoStack.size(); }
    size_t redoCount() const noexcept { return redoStack.size(); }

private:
    bool editsAllowed() const;
    bool differsFromPresent(const juce::ValueTree& snapshot) const;
    bool step(std::deque<juce::ValueTree>& from, std::deque<juce::ValueTree>& to);
    static void append(std::deque<juce::ValueTree>& stack, const juce::ValueTree& snapshot);

    TQ4AudioProcessor& processor;
    std::deque<juce::ValueTree> undoStack, redoStack;
    juce::ValueTree pendingSnapshot;
    bool pendingValid = false;
    int knownGeneration = 0;
};

} // namespace tq4
