#include "Outputs.h"

#include "Failure.h"

namespace tq4render
{

void StagedOutputs::checkWritable(const juce::File& target, const juce::String& what)
{
    const auto folder = target.getParentDirectory();
    if (target.isDirectory())
        throw Failure{"cannot write the " + what + " " + target.getFullPathName() + ": it is a folder", 2};
    if (!folder.isDirectory())
        throw Failure{"cannot write the " + what + " " + target.getFullPathName() + ": no folder " +
                          folder.getFullPathName(),
                      2};
    if (!folder.hasWriteAccess() || (target.exists() && !target.hasWriteAccess()))
        throw Failure{"cannot write the " + what + " " + target.getFullPathName() + ": not writable", 2};
}

void StagedOutputs::stage(const juce::File& target, const juce::String& what,
                          const std::function<bool(const juce::File&)>& write)
{
    auto temporary = std::make_unique<juce::TemporaryFile>(target, juce::TemporaryFile::useHiddenFile);
    const bool written = write(temporary->getFile());
    staged.push_back({std::move(temporary), what});
    if (!written || !staged.back().file->getFile().existsAsFile())
        throw Failure{"cannot write the " + what + " " + target.getFullPathName(), 2};
}

void StagedOutputs::commit()
{
    std::vector<juce::File> moved;
    for (auto& s : staged)
    {
        if (s.file->overwriteTargetFileWithTemporary())
        {
            moved.push_back(s.file->getTargetFile());
            continue;
        }
        for (const auto& file : moved)
            file.deleteFile();
        throw Failure{"cannot write the " + s.what + " " + s.file->getTargetFile().getFullPathName(), 2};
    }
    staged.clear();
}

} // namespace tq4render
