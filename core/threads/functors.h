#pragma once

// Small callable objects bound to a member function: the settings model's
// listeners and the click actions of the about box's links.

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
