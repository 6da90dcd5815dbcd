#include "adapter.h"

Notify_Adapter::Notify_Adapter() : QObject(nullptr) {}

Notify_Adapter::~Notify_Adapter() = default;

Notify_Adapter* Notify_Adapter::GetInstance()
{
    static Notify_Adapter instance;
    return &instance;
}

void Notify_Adapter::UpdateProgress(int total, int step) const
{
    emit sigUpdateProgress(total, step);
}

void Notify_Adapter::UpdateDialogText(QString text) const
{
    emit sigUpdateDialogText(text);
}
