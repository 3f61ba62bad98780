#pragma once

#include "core/threads/read_write_lock.h"

// Small callable objects through which worker threads report back. The Safe
// forms may be called from workers while the owner thread unbinds them: an
// unbind waits for calls in progress, and later calls find no target and do
// nothing. Safe functors that cross threads are held by std::shared_ptr to the
// abstract KtUnaryFunctionSafe; an empty pointer means nobody listens.

template <class R>
class KtNullaryFunction {
  public:
    virtual R Invoke() = 0;
    virtual R Call() = 0;

  protected:
    ~KtNullaryFunction() = default;
};

template <class T, class R>
class KtNullaryMemberFunction : public KtNullaryFunction<R> {
  public:
    void Bind(T* object, R (T::*method)()) {
        object_ = object;
        method_ = method;
    }

  protected:
    ~KtNullaryMemberFunction() = default;
    T* object_ = nullptr;
    R (T::*method_)() = nullptr;
};

template <class T>
class KtVoidNullaryMemberFunction final : public KtNullaryMemberFunction<T, void> {
  public:
    KtVoidNullaryMemberFunction() = default;
    KtVoidNullaryMemberFunction(T* object, void (T::*method)()) { this->Bind(object, method); }
    void Invoke() override { (this->object_->*this->method_)(); }
    void Call() override { Invoke(); }
};

template <class R, class A>
class KtUnaryFunction {
  public:
    virtual R Invoke(A argument) = 0;
    virtual R Call(A argument) = 0;

  protected:
    ~KtUnaryFunction() = default;
};

template <class T, class R, class A>
class KtUnaryMemberFunction : public KtUnaryFunction<R, A> {
  public:
    void Bind(T* object, R (T::*method)(A)) {
        object_ = object;
        method_ = method;
    }

  protected:
    ~KtUnaryMemberFunction() = default;
    T* object_ = nullptr;
    R (T::*method_)(A) = nullptr;
};

// Calls the bound member without a null check: the binder guarantees a target.
template <class T, class A>
class KtVoidUnaryMemberFunction final : public KtUnaryMemberFunction<T, void, A> {
  public:
    KtVoidUnaryMemberFunction() = default;
    KtVoidUnaryMemberFunction(T* object, void (T::*method)(A)) { this->Bind(object, method); }
    void Invoke(A argument) override { (this->object_->*this->method_)(argument); }
    void Call(A argument) override { Invoke(argument); }
};

template <class R, class A>
class KtUnaryFunctionSafe : public KtUnaryFunction<R, A> {
  public:
    // Virtual so that the last shared_ptr to the abstract type destroys the
    // concrete object, whose destructor unbinds.
    virtual ~KtUnaryFunctionSafe() = default;

  protected:
    KtReadWriteLock lock_;
};

template <class T, class R, class A>
class KtUnaryMemberFunctionSafe : public KtUnaryFunctionSafe<R, A> {
  public:
    ~KtUnaryMemberFunctionSafe() override { Unbind(); }

    void Bind(T* object, R (T::*method)(A)) {
        this->lock_.LockExclusive();
        object_ = object;
        method_ = method;
        this->lock_.Unlock();
    }

    // Waits for every call in progress; calls that start afterwards do nothing.
    void Unbind() {
        this->lock_.LockExclusive();
        object_ = nullptr;
        method_ = nullptr;
        this->lock_.Unlock();
    }

  protected:
    T* object_ = nullptr;
    R (T::*method_)(A) = nullptr;
};

template <class T, class A>
class KtVoidUnaryMemberFunctionSafe final : public KtUnaryMemberFunctionSafe<T, void, A> {
  public:
    KtVoidUnaryMemberFunctionSafe(T* object, void (T::*method)(A)) { this->Bind(object, method); }

    void Invoke(A argument) override {
        this->lock_.LockShared();
        // Read into locals: GCC's UBSan checks `this->object_->*this->method_`
        // against the functor's type instead of T's and reports a false error.
        T* const object = this->object_;
        void (T::*const method)(A) = this->method_;
        if (object != nullptr && method != nullptr) (object->*method)(argument);
        this->lock_.Unlock();
    }
    void Call(A argument) override { Invoke(argument); }
};
