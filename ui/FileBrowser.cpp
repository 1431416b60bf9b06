#include "ui/FileBrowser.h"
#include "core/CustomMessage.h"

fileBrowser::fileBrowser(bool open, juce::MessageListener* owner, FileBox which)
    : openMode(open), listener(owner), box(which),
      prompt(juce::CharPointer_UTF8(
          "\xe6\x8b\x96\xe6\x9b\xb3\xe6\x96\x87\xe4\xbb\xb6\xe5\x88\xb0\xe6\xad\xa4\xe5\xa4\x84"
          "\xef\xbc\x8c\xe6\x88\x96\xe7\x82\xb9\xe5\x87\xbb\"\xe6\xb5\x8f\xe8\xa7\x88\"\xe6\x8c\x89"
          "\xe9\x92\xae\xe9\x80\x89\xe6\x8b\xa9"))
{
    pathLabel = std::make_unique<juce::Label>("new label", juce::String());
    pathLabel->setFont(juce::Font(15.0f, juce::Font::plain));
    pathLabel->setJustificationType(juce::Justification::centredLeft);
    pathLabel->setEditable(false, false, false);
    pathLabel->setInterceptsMouseClicks(false, false);
    addAndMakeVisible(*pathLabel);

    browseButton = std::make_unique<juce::TextButton>("new button");
    browseButton->setButtonText(juce::CharPointer_UTF8("\xe6\xb5\x8f\xe8\xa7\x88..."));
    browseButton->addListener(this);
    addAndMakeVisible(*browseButton);
    setSize(320, 24);
}

fileBrowser::~fileBrowser() = default;

void fileBrowser::SetPrompt(const juce::String& text, int fontHeight, juce::Colour colour)
{
    prompt = text;
    promptHeight = fontHeight;
    promptColour = colour;
    repaint();
}

void fileBrowser::SetButtonText(const juce::String& text)
{
    browseButton->setButtonText(text);
}
void fileBrowser::SetExtensions(const juce::StringArray& list)
{
    extensions = list;
}

void fileBrowser::SetButtonWidth()
{
    buttonWidth = 80;
    resized();
}

void fileBrowser::SetPathFont(const juce::Font& font)
{
    if (pathLabel->getFont() == font)
        return;
    pathLabel->setFont(font);
    repaint();
}

void fileBrowser::SetPathColour(juce::Colour colour)
{
    pathLabel->setColour(juce::Label::textColourId, colour);
}
void fileBrowser::SetDragHighlightColour(juce::Colour colour)
{
    highlightColour = colour;
}
void fileBrowser::SetStartLocation(const juce::String& path)
{
    startLocation = path;
}

void fileBrowser::SetFile(const juce::String& path, bool notify)
{
    filePath = path;
    pathLabel->setText(path, juce::dontSendNotification);
    if (notify)
        notifyOwner();
    repaint();
}

void fileBrowser::notifyOwner()
{
    postEvent(listener, EvFileChosen{box});
}

juce::String fileBrowser::dialogPattern() const
{
    if (extensions.isEmpty())
        return "*.*";
    juce::StringArray patterns;
    for (auto& e : extensions)
        patterns.add("*" + e);
    return patterns.joinIntoString(";");
}

bool fileBrowser::isInterestedInFileDrag(const juce::StringArray& files)
{
    if (files.size() != 1)
        return false;
    if (extensions.isEmpty())
        return true;
    const auto ext = juce::File(files[0]).getFileExtension();
    for (auto& e : extensions)
        if (ext.equalsIgnoreCase(e))
            return true;
    return false;
}

void fileBrowser::fileDragEnter(const juce::StringArray&, int, int)
{
    dragOver = true;
    repaint();
}

void fileBrowser::fileDragExit(const juce::StringArray&)
{
    dragOver = false;
    repaint();
}

void fileBrowser::filesDropped(const juce::StringArray& files, int, int)
{
    dragOver = false;
    SetFile(files[0], false);
    notifyOwner();
    repaint();
}

void fileBrowser::buttonClicked(juce::Button* button)
{
    if (button != browseButton.get())
        return;
    chooser = std::make_unique<juce::FileChooser>(dialogTitle, juce::File(startLocation), dialogPattern());
    const int flags =
        openMode ? juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectFiles
                 : juce::FileBrowserComponent::saveMode | juce::FileBrowserComponent::canSelectFiles |
                       juce::FileBrowserComponent::warnAboutOverwriting;
    if (!chooser->showDialog(flags, nullptr))
        return; // cancelled: the previous file stays
    const auto chosen = chooser->getResult();
    if (chosen == juce::File())
        return;
    filePath = chosen.getFullPathName();
    pathLabel->setText(filePath, juce::dontSendNotification);
    notifyOwner();
    repaint();
}

void fileBrowser::paint(juce::Graphics& g)
{
    if (dragOver)
    {
        g.setColour(highlightColour);
        g.fillRect(0, 0, getWidth() - buttonWidth, getHeight());
    }
    if (pathLabel->getText().isNotEmpty())
        return;
    g.setColour(promptColour);
    g.setFont(juce::Font(juce::jlimit(0.1f, 10000.0f, (float)promptHeight), juce::Font::italic));
    g.drawFittedText(prompt, 0, 0, getWidth() - buttonWidth - 4, getHeight(), juce::Justification::topLeft,
                     1);
}

void fileBrowser::resized()
{
    pathLabel->setBounds(0, 0, getWidth() - buttonWidth - 4, getHeight());
    browseButton->setBounds(getWidth() - buttonWidth, 0, buttonWidth, getHeight());
}
