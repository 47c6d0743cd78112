#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "base/network_thread.h"

namespace pellora::ui {

// The one way between the widgets on the GUI thread and the model objects on the main strand.
//
// `watch` subscribes to a model object's published state on the main strand; every state (the current one
// first) is copied there and the copy is posted to the GUI thread, where it reaches the widget while the
// widget exists. `act` posts an operation to the main strand and runs it there while the model object
// exists. Widgets hold weak model pointers only to pass them back here; they never call a model object
// themselves.
//
// Made once by the application on the GUI thread and used there; copies of it may be kept by widgets.
// `gui` is an object that outlives every model callback (the application object): deliveries are queued
// to it, and each checks its widget on the GUI thread before showing anything.
class ModelBridge {
 public:
  using Strand = NetworkThread::Strand;

  ModelBridge(Strand strand, QObject* gui) : strand_(std::move(strand)), gui_(gui) {}

  // Runs `action` on the main strand; the caller never waits.
  void post(std::function<void()> action) const { boost::asio::post(strand_, std::move(action)); }

  // Runs `action(model)` on the main strand if the model object still exists then.
  template <typename Model, typename Action>
  void act(const std::weak_ptr<Model>& model, Action action) const {
    post([model, action = std::move(action)]() mutable {
      if (auto object = model.lock()) action(*object);
    });
  }

  // Runs the coroutine `start(model)` returns on the main strand, holding the model object until it ends.
  template <typename Model, typename Start>
  void spawn(const std::weak_ptr<Model>& model, Start start) const {
    boost::asio::co_spawn(
        strand_,
        [model, start = std::move(start)]() mutable -> boost::asio::awaitable<void> {
          if (auto object = model.lock()) co_await start(*object);
        },
        boost::asio::detached);
  }

  // Runs `work(model)` on the main strand and hands its result to `done` on the GUI thread while `receiver`
  // exists (a value read once: the host's addresses, a new session's id).
  template <typename Model, typename Work, typename Done>
  void ask(const std::weak_ptr<Model>& model, QObject* receiver, Work work, Done done) const {
    QPointer<QObject> guard(receiver);
    QObject* gui = gui_;
    act(model, [guard, gui, work = std::move(work), done = std::move(done)](Model& object) mutable {
      auto result = work(object);
      QMetaObject::invokeMethod(
          gui, [guard, done = std::move(done), result = std::move(result)]() mutable {
            if (guard) done(std::move(result));
          },
          Qt::QueuedConnection);
    });
  }

  // As `ask`, for work that is a coroutine on the main strand (one that waits for something off it).
  template <typename Model, typename Work, typename Done>
  void askLater(const std::weak_ptr<Model>& model, QObject* receiver, Work work, Done done) const {
    QPointer<QObject> guard(receiver);
    QObject* gui = gui_;
    spawn(model, [guard, gui, work = std::move(work), done = std::move(done)](Model& object) mutable
                     -> boost::asio::awaitable<void> {
      auto result = co_await work(object);
      QMetaObject::invokeMethod(
          gui, [guard, done = std::move(done), result = std::move(result)]() mutable {
            if (guard) done(std::move(result));
          },
          Qt::QueuedConnection);
    });
  }

  // Shows the states of `model` with `show(const State&)` on the GUI thread until `receiver` is
  // destroyed; the subscription then ends on the main strand. Changes that come faster than the GUI
  // thread takes them are merged: it always sees the newest state, never a queue of old ones.
  template <typename Model, typename Show>
  void watch(const std::weak_ptr<Model>& model, QObject* receiver, Show show) const {
    using State = typename Model::State;
    // A burst of changes reaches the GUI thread as one delivery of the newest state: the copy waits in
    // `slot` while a delivery is queued.
    struct Slot {
      std::mutex lock;
      std::optional<State> newest;
      explicit Slot(Show s) : show(std::move(s)) {}
      Show show;
    };
    auto slot = std::make_shared<Slot>(std::move(show));
    QPointer<QObject> guard(receiver);
    QObject* gui = gui_;
    auto deliver = [guard, gui, slot](const State& state) {
      {
        std::lock_guard hold(slot->lock);
        const bool queued = slot->newest.has_value();
        slot->newest = state;
        if (queued) return;
      }
      QMetaObject::invokeMethod(
          gui, [guard, slot] {
            std::optional<State> copy;
            {
              std::lock_guard hold(slot->lock);
              copy.swap(slot->newest);
            }
            if (guard && copy) slot->show(*copy);
          },
          Qt::QueuedConnection);
    };
    auto token = std::make_shared<int>(0);  // read and written on the main strand only
    const std::weak_ptr<Model> weak = model;
    post([weak, token, deliver] {
      if (auto object = weak.lock()) {
        *token = object->published().subscribe(deliver);
        deliver(object->state());
      }
    });
    const Strand strand = strand_;
    QObject::connect(receiver, &QObject::destroyed, [strand, weak, token] {
      boost::asio::post(strand, [weak, token] {
        if (auto object = weak.lock(); object && *token != 0) object->published().unsubscribe(*token);
      });
    });
  }

 private:
  Strand strand_;
  QObject* gui_;
};

}  // namespace pellora::ui
