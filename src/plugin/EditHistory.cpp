#include "plugin/EditHistory.h"

#include "plugin/PluginProcessor.h"

#include <cmath>

namespace tq4
{

namespace
{
const juce::Identifier valueProperty{"value"};

void setBypassValue(juce::ValueTree& tree, double value)
{
    auto child = findParamChild(tree, ParamIds::bypass);
    if (child.isValid())
        child.setProperty(valueProperty, value, nullptr);
}
} // namespace

EditHistory::EditHistory(TQ4AudioProcessor& owner)
    : processor(owner), knownGeneration(owner.stateGeneration.load())
{
}

void EditHistory::syncGeneration()
{
    const int generation = processor.stateGeneration.load();
    if (generation == knownGeneration)
        return;
    undoStack.clear();
    redoStack.clear();
    pendingSnapshot = {};
    pendingValid = false;
    knownGeneration = generation;
}

juce::ValueTree EditHistory::snapshotState() const
{
    const juce::ScopedLock lock(processor.stateLock);
    auto copy = processor.apvts.copyState();
    setBypassValue(copy, 0.0);
    return copy;
}

void EditHistory::beginGesture()
{
    syncGeneration();
    if (processor.gestureDepth++ == 0)
    {
        if (!pendingValid)
        {
            pendingSnapshot = snapshotState();
            pendingValid = true;
        }
    }
}

bool EditHistory::differsFromPresent(const juce::ValueTree& snapshot) const
{
    for (const auto& child : snapshot)
    {
        const auto id = child["id"].toString();
        if (id == ParamIds::bypass)
            continue;
        auto* parameter = processor.apvts.getParameter(id);
        if (parameter == nullptr)
            continue;
        const auto& range = parameter->getNormalisableRange();
        const float stored =
            range.convertTo0to1(range.snapToLegalValue(static_cast<float>(child[valueProperty])));
        if (std::abs(stored - parameter->getValue()) > 1.0e-6f)
            return true;
    }
    const juce::ScopedLock lock(processor.stateLock);
    return snapshot[StateProps::targetDb] != processor.apvts.state[StateProps::targetDb];
}

void EditHistory::commitPending()
{
    syncGeneration();
    if (!pendingValid || !differsFromPresent(pendingSnapshot))
        return;
    pushUndo(pendingSnapshot);
    pendingSnapshot = {};
    pendingValid = false;
}

void EditHistory::endGesture()
{
    syncGeneration();
    if (processor.gestureDepth > 0 && --processor.gestureDepth == 0)
        discardPending();
}

void EditHistory::discardPending()
{
    syncGeneration();
    pendingSnapshot = {};
    pendingValid = false;
}

void EditHistory::append(std::deque<juce::ValueTree>& stack, const juce::ValueTree& snapshot)
{
    stack.push_back(snapshot);
    while (stack.size() > maxEntries)
        stack.pop_front();
}

void EditHistory::pushUndo(const juce::ValueTree& snapshot)
{
    // A restore since the history last looked would otherwise wipe this entry at the next sync.
    syncGeneration();
    redoStack.clear();
    append(undoStack, snapshot);
}

bool EditHistory::editsAllowed() const
{
    const bool requested = processor.learnRequested.load();
    return !requested && requested == processor.learnRunning && !processor.driveEqJobActive.load() &&
           processor.gestureDepth <= 0;
}

bool EditHistory::step(std::deque<juce::ValueTree>& from, std::deque<juce::ValueTree>& to)
{
    const int generation = processor.stateGeneration.load();
    syncGeneration();
    if (!editsAllowed())
        return false;
    pendingSnapshot = {};
    pendingValid = false;

    const auto current = snapshotState();
    juce::ValueTree entry;
    while (!from.empty())
    {
        entry = from.back();
        from.pop_back();
        if (!(entry == current || entry.isEquivalentTo(current)))
            break;
        entry = {};
    }
    if (!entry.isValid())
        return false;

    append(to, current);
    return restoreSnapshot(entry, generation);
}

bool EditHistory::undo()
{
    return step(undoStack, redoStack);
}

bool EditHistory::redo()
{
    return step(redoStack, undoStack);
}

bool EditHistory::canUndo()
{
    syncGeneration();
    return editsAllowed() && !undoStack.empty();
}

bool EditHistory::canRedo()
{
    syncGeneration();
    return editsAllowed() && !redoStack.empty();
}

bool EditHistory::restoreSnapshot(const juce::ValueTree& snapshot, int expectedGeneration)
{
    syncGeneration();
    auto copy = snapshot.createCopy();
    setBypassValue(copy, processor.apvts.getRawParameterValue(ParamIds::bypass)->load());

    {
        const juce::ScopedLock lock(processor.stateLock);
        if (processor.stateGeneration.load() != expectedGeneration)
            return false;
        processor.restoreState(copy, false);
    }

    syncGeneration();
    pendingSnapshot = {};
    pendingValid = false;

    {
        const juce::ScopedLock lock(processor.stateLock);
        readLearnStats(processor.apvts.state, processor.learnedStats, &processor.traceCache);
    }
    processor.refreshTargetState();
    return true;
}

void EditHistory::forEachSnapshot(const std::function<void(juce::ValueTree&)>& visit)
{
    syncGeneration();
    for (auto& entry : undoStack)
        visit(entry);
    for (auto& entry : redoStack)
        visit(entry);
    if (pendingValid)
        visit(pendingSnapshot);
}

} // namespace tq4
