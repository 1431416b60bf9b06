#include "device/Communication.h"
#include "device/Jobs.h"

const char* const jobs::ConfirmRead::name = "read check";

void jobs::ConfirmRead::start(Communication& link) const
{
    link.confirmReadSettled();
}
