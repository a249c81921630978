// The deleter of a C library's object that its own function frees:
//   using X509Ptr = std::unique_ptr<X509, FreeWith<X509_free>>;
#pragma once

namespace vorlane {

template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* object) const {
    Free(object);
  }
};

}  // namespace vorlane
