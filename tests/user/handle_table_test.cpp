// The process handle table.
#include <gtest/gtest.h>

#include <windows.h>

#include "nb/win/handle_table.h"

namespace nb::win {
namespace {

struct Counted : HandleObject {
  explicit Counted(int* alive) : alive(alive) { ++*alive; }
  ~Counted() override { --*alive; }
  int* alive;
};

TEST(HandleTable, HandlesAreSmallMultiplesOfFourAndReused) {
  int alive = 0;  // outlives the table, whose destructor may still decrement it
  HandleTable table;
  HANDLE first = table.Insert(std::make_shared<Counted>(&alive));
  HANDLE second = table.Insert(std::make_shared<Counted>(&alive));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(first), 4u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(second), 8u);
  EXPECT_EQ(table.Count(), 2u);
  EXPECT_NE(table.Remove(first), nullptr);
  EXPECT_EQ(alive, 1);
  EXPECT_EQ(table.Remove(first), nullptr);  // a second close finds nothing
  EXPECT_EQ(table.Insert(std::make_shared<Counted>(&alive)), first);
  EXPECT_EQ(table.Count(), 2u);
}

TEST(HandleTable, ValuesThatAreNotOpenHandlesFindNothing) {
  int alive = 0;  // outlives the table, whose destructor may still decrement it
  HandleTable table;
  table.Insert(std::make_shared<Counted>(&alive));
  for (uintptr_t value : {uintptr_t{0}, uintptr_t{2}, uintptr_t{8}, uintptr_t{0x40000000}, ~uintptr_t{0}}) {
    EXPECT_EQ(table.Get(reinterpret_cast<HANDLE>(value)), nullptr) << value;
    EXPECT_EQ(table.Remove(reinterpret_cast<HANDLE>(value)), nullptr) << value;
  }
  EXPECT_EQ(table.Get(INVALID_HANDLE_VALUE), nullptr);
  EXPECT_EQ(table.Insert(nullptr), nullptr);
}

TEST(HandleTable, AnObjectOutlivesItsHandleWhileInUse) {
  int alive = 0;  // outlives the table, whose destructor may still decrement it
  HandleTable table;
  HANDLE handle = table.Insert(std::make_shared<Counted>(&alive));
  auto inUse = table.GetAs<Counted>(handle);
  table.Remove(handle);
  EXPECT_EQ(alive, 1);
  inUse.reset();
  EXPECT_EQ(alive, 0);
}

TEST(HandleTable, RemoveIfTakesOnlyMatchingObjects) {
  int alive = 0;  // outlives the table, whose destructor may still decrement it
  HandleTable table;
  HANDLE keep = table.Insert(std::make_shared<HandleObject>());
  table.Insert(std::make_shared<Counted>(&alive));
  table.Insert(std::make_shared<Counted>(&alive));
  auto removed = table.RemoveIf([](const HandleObject& o) { return dynamic_cast<const Counted*>(&o) != nullptr; });
  EXPECT_EQ(removed.size(), 2u);
  EXPECT_EQ(table.Count(), 1u);
  EXPECT_NE(table.Get(keep), nullptr);
}

}  // namespace
}  // namespace nb::win
