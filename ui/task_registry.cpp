#include "ui/task_registry.h"

#include <algorithm>

#include "ui/form_base.h"

void KtTaskWindowed::Close() {
    if (window_ == nullptr) return;
    KtFormBase* window = window_;
    window->ClearOwnerTask();
    window_ = nullptr;
    delete window;
}

void KtTaskWindowed::Show() {
    if (window_ == nullptr) return;
    window_->showNormal();
    window_->raise();
    window_->activateWindow();
}

KtTaskRegistry& KtTaskRegistry::Get() {
    static KtTaskRegistry* const registry = new KtTaskRegistry;
    return *registry;
}

void KtTaskRegistry::Remove(const KtCoreTask* task) {
    const auto found = std::find(tasks_.begin(), tasks_.end(), task);
    if (found != tasks_.end()) tasks_.erase(found);
}

bool KtTaskRegistry::Contains(const KtCoreTask* task) const {
    return std::find(tasks_.begin(), tasks_.end(), task) != tasks_.end();
}

void KtTaskRegistry::CloseTask(KtCoreTask* task) {
    if (!Contains(task)) return;
    Remove(task);
    task->Close();
    delete task;
}

void KtTaskRegistry::CloseAll() {
    // Closing one window can delete the tasks of windows it parents, so the
    // list is read afresh after every close.
    while (!tasks_.empty()) CloseTask(tasks_.back());
}

void KtTaskRegistry::RegisterNamedWindow(std::string name, QWidget* window) {
    namedWindows_.emplace_back(std::move(name), window);
}

QWidget* KtTaskRegistry::FindNamedWindow(std::string_view name) const {
    for (const auto& [windowName, window] : namedWindows_) {
        if (windowName == name) return window;
    }
    return nullptr;
}

void KtTaskRegistry::UnregisterNamedWindow(const QWidget* window) {
    const auto found = std::find_if(namedWindows_.begin(), namedWindows_.end(),
                                    [&](const auto& entry) { return entry.second == window; });
    if (found != namedWindows_.end()) namedWindows_.erase(found);
}
