#pragma once
// What the main component's own sources need beside its declaration: the
// classes of its members and of the controller it drives.
#include "controller/UpdateController.h"
#include "core/SysexTrace.h"
#include "device/DriverImages.h"
#include "main/MainComponent.h"
#include "main/MainOptions.h"
#include "platform/DocumentViewer.h"
#include "settings/Presets.h"
#include "ui/FileBrowser.h"
#include "ui/ImageButtonWithText.h"
#include "ui/LogEditor.h"
