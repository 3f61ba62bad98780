#pragma once

#include <QPointer>
#include <QWidget>
#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class KtFormBase;

// A named owner of (at most) one top-level window; the registry holds every
// live task.
class KtCoreTask {
  public:
    virtual ~KtCoreTask() = default;
    virtual void OnIdle() {}
    // Ends the task's window; the task itself stays until deleted.
    virtual void Close() {}

    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

  private:
    std::string name_;
};

class KtTaskWindowed : public KtCoreTask {
  public:
    // Clears the window's back pointer, then destroys the window. Never call
    // it from inside the window's own event handlers; close the window instead.
    void Close() override;
    // Shows the window normal (restored) and brings it to the top.
    void Show();

    KtFormBase* Window() const { return window_; }
    void SetWindow(KtFormBase* window) { window_ = window; }
    void ClearWindow() { window_ = nullptr; }

  private:
    KtFormBase* window_ = nullptr;
};

// The process-wide registry of tasks and of named windows that are not tasks.
// GUI thread only.
class KtTaskRegistry {
  public:
    static KtTaskRegistry& Get();

    // The first task in creation order whose name equals name exactly and
    // which is a T; a new T (which makes its window) when there is none or
    // the name is empty. Never null.
    template <class T>
    T* FindOrCreate(std::string name);

    // Takes the first entry equal to task out of the list; nothing when absent.
    void Remove(const KtCoreTask* task);
    bool Contains(const KtCoreTask* task) const;
    size_t TaskCount() const { return tasks_.size(); }
    // Every live task, in creation order.
    const std::list<KtCoreTask*>& Tasks() const { return tasks_; }

    // Ends a task started by the program: closes its window (which then no
    // longer deletes the task), removes it and deletes it.
    void CloseTask(KtCoreTask* task);
    // Ends every task, the newest first.
    void CloseAll();

    void RegisterNamedWindow(std::string name, QWidget* window);
    QWidget* FindNamedWindow(std::string_view name) const;
    void UnregisterNamedWindow(const QWidget* window);

    // The application's main window, the parent of the boxes tasks open.
    void SetMainWindow(QWidget* window) { mainWindow_ = window; }
    QWidget* MainWindow() const { return mainWindow_; }

  private:
    KtTaskRegistry() = default;

    std::list<KtCoreTask*> tasks_;
    std::vector<std::pair<std::string, QWidget*>> namedWindows_;
    QPointer<QWidget> mainWindow_;
};

template <class T>
T* KtTaskRegistry::FindOrCreate(std::string name) {
    if (!name.empty()) {
        for (KtCoreTask* task : tasks_) {
            if (task->Name() != name) continue;
            if (auto* found = dynamic_cast<T*>(task)) return found;
        }
    }
    auto* task = new T;
    task->SetName(std::move(name));
    tasks_.push_back(task);
    return task;
}
