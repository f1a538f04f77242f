// Window calls from a run's worker thread: served synchronously by the
// thread that owns the widget, the way a window message sent from another
// thread is.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <type_traits>
#include <utility>

namespace velkan::ui {

template <typename F>
auto CallOnOwnerThread(QObject* owner, F&& f) -> std::invoke_result_t<F> {
  using R = std::invoke_result_t<F>;
  if (QThread::currentThread() == owner->thread()) return f();
  if constexpr (std::is_void_v<R>) {
    QMetaObject::invokeMethod(owner, std::forward<F>(f), Qt::BlockingQueuedConnection);
  } else {
    R result{};
    QMetaObject::invokeMethod(owner, std::forward<F>(f), Qt::BlockingQueuedConnection, &result);
    return result;
  }
}

}  // namespace velkan::ui
