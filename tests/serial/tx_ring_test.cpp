// The output ring and the writer's view of it, on one thread: whole-or-nothing puts,
// bytes counted until the device has sent them, failed writes, and flushes that
// overtake a write under way.
#include "serial/tx_ring.h"

#include <gtest/gtest.h>

#include <string>

#include "serial/serial_exceptions.h"

namespace zarnik {
namespace {

std::string Text(const TxRing::Piece& p) {
  return std::string(p.bytes.begin(), p.bytes.end());
}

TEST(TxRing, APutFitsWholeOrNotAtAll) {
  TxRing ring;
  EXPECT_EQ(ring.Put("x", 1), ecCommNotOpen);
  ring.Allocate(8);
  EXPECT_EQ(ring.Put("abcde", 5), 5);
  EXPECT_EQ(ring.Put("1234", 4), ecOutputBufferTooSmall);
  EXPECT_EQ(ring.Used(), 5);
  EXPECT_EQ(ring.Put("123", 3), 3);  // exactly the free space
  EXPECT_EQ(ring.Free(), 0);
  EXPECT_EQ(ring.Used(), 8);
  ring.Release();
  EXPECT_EQ(ring.Put("x", 1), ecCommNotOpen);
}

TEST(TxRing, BytesCountUntilTheDeviceHasSentThem) {
  TxRing ring;
  ring.Allocate(8);
  ring.Put("hello", 5);
  TxRing::Piece piece;
  ASSERT_TRUE(ring.NextPiece(piece));
  EXPECT_EQ(Text(piece), "hello");
  bool emptied;
  ASSERT_TRUE(ring.Handed(piece, 3, emptied));  // the device took three
  EXPECT_EQ(ring.Used(), 5);
  ASSERT_TRUE(ring.NextPiece(piece));
  EXPECT_EQ(Text(piece), "lo");                           // only what it has not taken yet
  EXPECT_EQ(ring.Sent(piece.generation, 1, emptied), 1);  // two of three left the line
  EXPECT_EQ(ring.Used(), 3);
  EXPECT_FALSE(emptied);
  ASSERT_TRUE(ring.Handed(piece, 2, emptied));
  EXPECT_TRUE(ring.AllHanded());
  EXPECT_EQ(ring.Sent(piece.generation, 0, emptied), 1);
  EXPECT_TRUE(emptied);
  EXPECT_EQ(ring.Used(), 0);
  EXPECT_FALSE(ring.NextPiece(piece));
}

TEST(TxRing, APieceEndsAtTheEndOfTheBufferAndTheRestFollows) {
  TxRing ring;
  ring.Allocate(8);
  ring.Put("123456", 6);
  TxRing::Piece piece;
  bool emptied;
  ring.NextPiece(piece);
  ring.Handed(piece, 6, emptied);
  ring.Sent(piece.generation, 0, emptied);
  ASSERT_EQ(ring.Put("abcdef", 6), 6);  // wraps: the ring restarted at 0 when empty
  ring.NextPiece(piece);
  EXPECT_EQ(Text(piece), "abcdef");
  ring.Handed(piece, 4, emptied);
  ring.Sent(piece.generation, 0, emptied);
  ASSERT_EQ(ring.Put("XYZW", 4), 4);  // now it wraps for real
  ring.NextPiece(piece);
  EXPECT_EQ(Text(piece), "efXY");
  ring.Handed(piece, 4, emptied);
  ring.NextPiece(piece);
  EXPECT_EQ(Text(piece), "ZW");
}

TEST(TxRing, AFailedWriteDropsThePiece) {
  TxRing ring;
  ring.Allocate(16);
  ring.Put("doomed", 6);
  TxRing::Piece piece;
  ring.NextPiece(piece);
  bool emptied;
  ASSERT_TRUE(ring.Handed(piece, -5, emptied));
  EXPECT_TRUE(emptied);
  EXPECT_EQ(ring.Used(), 0);
}

TEST(TxRing, AWriteUnderWayWhenTheRingIsFlushedCountsForNothing) {
  TxRing ring;
  ring.Allocate(16);
  ring.Put("\r", 1);
  TxRing::Piece piece;
  ring.NextPiece(piece);
  ring.Flush();
  ring.Put("VER", 3);
  bool emptied;
  EXPECT_FALSE(ring.Handed(piece, 1, emptied));  // the CR's write must not eat "V"
  EXPECT_EQ(ring.Sent(piece.generation, 0, emptied), -1);
  EXPECT_EQ(ring.Used(), 3);
  ring.NextPiece(piece);
  EXPECT_EQ(Text(piece), "VER");
}

TEST(TxRing, ResizingOnlyAnEmptyRing) {
  TxRing ring;
  EXPECT_FALSE(ring.Resize(32));  // not allocated
  ring.Allocate(8);
  ring.Put("x", 1);
  EXPECT_FALSE(ring.Resize(32));
  EXPECT_EQ(ring.Size(), 8u);
  ring.Flush();
  EXPECT_TRUE(ring.Resize(32));
  EXPECT_EQ(ring.Free(), 32);
}

}  // namespace
}  // namespace zarnik
