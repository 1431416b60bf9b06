#pragma once
#include "core/CustomMessage.h"
#include <juce_gui_basics/juce_gui_basics.h>

// A one-line box holding the path of one file: drop a file on it or browse
// for one. When a file is chosen the owner gets an EvFileChosen naming the box.
class fileBrowser final : public juce::Component,
                          public juce::FileDragAndDropTarget,
                          public juce::Button::Listener
{
public:
    fileBrowser(bool openMode, juce::MessageListener* listener, FileBox box);
    ~fileBrowser() override;

    void SetPrompt(const juce::String& text, int fontHeight, juce::Colour colour);
    void SetButtonText(const juce::String& text);
    void SetExtensions(const juce::StringArray& extensions);
    void SetButtonWidth();
    void SetPathFont(const juce::Font& font);
    void SetPathColour(juce::Colour colour);
    void SetDragHighlightColour(juce::Colour colour);
    void SetStartLocation(const juce::String& path);
    void SetFile(const juce::String& path, bool notify);
    juce::String GetFile() const { return filePath; }

    // The file dialog's pattern: "*.*" with no extensions, else "*.bin;*.rom".
    juce::String dialogPattern() const;
    juce::String getStartLocation() const { return startLocation; }
    juce::String getPrompt() const { return prompt; }
    bool isDragOver() const { return dragOver; }

    bool isInterestedInFileDrag(const juce::StringArray& files) override;
    void fileDragEnter(const juce::StringArray& files, int x, int y) override;
    void fileDragExit(const juce::StringArray& files) override;
    void filesDropped(const juce::StringArray& files, int x, int y) override;
    void buttonClicked(juce::Button* button) override;
    void paint(juce::Graphics& g) override;
    void resized() override;

private:
    void notifyOwner();

    bool openMode;
    bool dragOver = false;
    juce::MessageListener* listener;
    FileBox box;
    juce::Colour highlightColour{0x00000000};
    juce::StringArray extensions;
    int buttonWidth = 64;
    juce::String startLocation;
    juce::String dialogTitle;
    juce::String prompt;
    int promptHeight = 12;
    juce::Colour promptColour{0xff808080};
    juce::String filePath;
    std::unique_ptr<juce::Label> pathLabel;
    std::unique_ptr<juce::TextButton> browseButton;
    std::unique_ptr<juce::FileChooser> chooser;
};
