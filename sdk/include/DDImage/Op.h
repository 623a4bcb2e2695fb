#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "DDImage_API.h"
#include "Hash.h"
#include "Knob.h"
#include "Knobs.h"
#include "OutputContext.h"

namespace DD {
namespace Image {

class Node;
class Iop;
struct OpImpl;

enum StatusFlags { eStatusNone = 0, eStatusIgnore = 1 };

// Base of every node operation the host builds, validates, opens, renders and closes.
class DDImage_API Op {
public:
  // Registers a node class with the host when the plug-in file is loaded.
  class DDImage_API Description {
  public:
    typedef Op* (*OpConstructor)(Node*);
    typedef Iop* (*IopConstructor)(Node*);

    Description(const char* name, const char* menu, OpConstructor constructor);
    Description(const char* name, const char* menu, IopConstructor constructor);
    ~Description();

    const char* name;
    const char* menu;

    // Builds the op for a node; null when the build function gives null.
    Op* build(Node* node) const;

    // The registered description of that class name, or null.
    static const Description* find(const char* name);

  private:
    OpConstructor op_constructor_;
    IopConstructor iop_constructor_;
  };

  explicit Op(Node* node);
  virtual ~Op();

  Op(const Op&) = delete;
  Op& operator=(const Op&) = delete;

  // Ops are allocated by the host's allocator. It gives null when out of memory (noexcept, so
  // that `new SomeOp(node)` then yields null instead of constructing at null).
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* p);
  // Construction in storage obtained from operator new above (a build function that checks
  // for null first); without these the class's operator new hides the global placement form.
  static void* operator new(std::size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}

  virtual const char* Class() const = 0;
  virtual const char* node_help() const = 0;

  virtual void knobs(Knob_Callback f);
  virtual int knob_changed(Knob* k);
  Knob* knob(const char* name) const;

  virtual int minimum_inputs() const { return 1; }
  virtual int maximum_inputs() const { return 1; }
  virtual int split_input(int n) const;
  virtual const OutputContext& inputContext(int n, int offset, OutputContext& ctx) const;
  virtual const OutputContext* inputUIContext(int n, OutputContext& ctx) const;
  virtual float uses_input(int n) const;

  // Input n, counting the split contexts of every input one after another; null when absent.
  Op* input(int n) const;
  // Split `offset` of input n.
  Op* input(int n, int offset) const;
  int inputs() const;

  const OutputContext& outputContext() const;
  std::string node_name() const;

  void validate(bool for_real = true);
  void open();
  void close();

  // Marks the op as failed with a printf-style message; aborted() is true from then on.
  void error(const char* format, ...);
  bool aborted() const;
  void progressFraction(double fraction, StatusFlags flags = eStatusNone);
  void progressFraction(int done, int total, StatusFlags flags = eStatusNone);

  virtual void append(Hash& hash);

  Node* node() const;
  OpImpl* impl() const { return impl_.get(); }

protected:
  virtual void _validate(bool for_real);
  virtual void _open();
  virtual void _close();

private:
  std::unique_ptr<OpImpl> impl_;
};

} // namespace Image
} // namespace DD
