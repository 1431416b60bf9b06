#include "ui/InfoView.h"
#include "TamarindVersion.h"

infoView::infoView(midi::PortSet& ports)
{
    editor = std::make_unique<CLogEditor>("new text editor");
    addAndMakeVisible(*editor);
    editor->configureAsLogView();
    output.AttachEditor(editor.get());
    output.SetFontSize();
    output.PrintA("%s Version:%s\n\n", "Tamarind", TAMARIND_VERSION);

    const auto outputs = ports.outputNames();
    const auto inputs = ports.inputNames();
    output.PrintW(L"Total Midi out devices: %d\n", outputs.size());
    for (int i = 0; i < outputs.size(); ++i)
    {
        output.PrintA("    %d:", i);
        if (outputs[i].isNotEmpty())
            output.Write(outputs[i].toWideCharPointer());
        output.PrintA("\n");
    }
    output.PrintW(L"\nTotal Midi in devices: %d\n", inputs.size());
    for (int i = 0; i < inputs.size(); ++i)
    {
        output.PrintW(L"    %d:", i);
        if (inputs[i].isNotEmpty())
            output.Write(inputs[i].toWideCharPointer());
        output.PrintA("\n");
    }
    setSize(328, 300);
}

infoView::~infoView()
{
    output.AttachEditor(nullptr);
}

void infoView::resized()
{
    editor->setBounds(8, 8, getWidth() - 16, getHeight() - 16);
}
