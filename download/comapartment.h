#pragma once

// COM on the calling thread for as long as it lives: a single-threaded
// apartment unless the thread already has one (then that one is kept and
// left alone at the end).
class ComApartment {
 public:
  ComApartment();
  ~ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool initialised_;
};
