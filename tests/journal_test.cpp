// The journal's record format: what is read back from whole, torn and
// damaged journals.
#include "journal.h"

#include <gtest/gtest.h>

#include "scratch.h"

namespace {

const std::vector<JournalRecord> records = {
    {journalBackedUp, "a.txt", {}, ""},
    {journalCreated, "bin\\new.dll", {}, ""},
    {journalRetimed, "a.txt", {-5000000000LL, 999999999}, ""},
    {journalMovedAside, "b.txt", {}, "1234:5678/9"},
    {journalVolume, "", {}, ""},
    {journalCreated, "", {}, ""},
    {journalBackedUp, std::string(300, 'x'), {}, ""}};

std::string journalOf(const std::vector<JournalRecord>& list) {
  std::string bytes;
  for (const JournalRecord& r : list) bytes += encodeRecord(r);
  return bytes;
}

bool same(const std::vector<JournalRecord>& a, const std::vector<JournalRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].kind != b[i].kind || a[i].name != b[i].name || !(a[i].time == b[i].time) ||
        a[i].mark != b[i].mark)
      return false;
  return true;
}

// Cut after every byte: exactly the records that are whole come back.
TEST(Journal, ATornTailIsIgnoredWhereverTheCutFalls) {
  std::string whole = journalOf(records);
  EXPECT_TRUE(same(decodeJournal(whole).records, records));
  std::size_t complete = 0, end = 0;
  for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
    if (complete < records.size() && cut == end + encodeRecord(records[complete]).size())
      end += encodeRecord(records[complete++]).size();
    std::vector<JournalRecord> expected(records.begin(), records.begin() + complete);
    EXPECT_TRUE(same(decodeJournal(whole.substr(0, cut)).records, expected)) << "cut at " << cut;
  }
}

// A changed byte anywhere ends the journal at the record that holds it.
TEST(Journal, ADamagedRecordEndsTheJournal) {
  std::string whole = journalOf(records);
  std::size_t start = 0;
  for (std::size_t r = 0; r < records.size(); ++r) {
    std::size_t size = encodeRecord(records[r]).size();
    for (std::size_t at = start; at < start + size; ++at) {
      std::string damaged = whole;
      damaged[at] = char(damaged[at] ^ 0x20);
      std::vector<JournalRecord> expected(records.begin(), records.begin() + r);
      EXPECT_TRUE(same(decodeJournal(damaged).records, expected)) << "byte " << at;
    }
    start += size;
  }
}

// A plan is whole or nothing: cut anywhere before its end, it holds no
// record (nothing was changed before it was on the disk).
TEST(Journal, APlanCutShortHoldsNothing) {
  std::string plan =
      encodeRecord({journalPlan, "", FileTime{std::int64_t(records.size()), 0}, ""}) +
      journalOf(records);
  for (std::size_t cut = 0; cut < plan.size(); ++cut) {
    JournalContent content = decodeJournal(plan.substr(0, cut));
    EXPECT_TRUE(content.records.empty() && (!content.whole || cut == 0)) << "cut at " << cut;
  }
  JournalContent content = decodeJournal(plan);
  EXPECT_TRUE(content.whole && same(content.records, records));
  // After the plan, the notes of changes made after it count (a copied
  // backup, a file moved aside or created that the plan did not foresee),
  // and nothing else.
  JournalRecord copied = {journalCopied, "b.txt", {}, "4321:8765/9"};
  std::vector<JournalRecord> noted = records;
  noted.insert(noted.end(), {copied, records[1], records[3]});
  content = decodeJournal(plan + encodeRecord(copied) + journalOf({records[1], records[3]}) +
                          journalOf({records[2]}) + encodeRecord(copied));
  EXPECT_TRUE(content.whole && same(content.records, noted));
}

// A plan started in its file reads as cut short, however much of it is
// written, until it is finished; the notes after it are appended at its end.
TEST(Journal, AStartedPlanIsWholeOnlyOnceFinished) {
  std::string dir = makeScratchDir();
  Journal journal;
  journal.path = dir + "\\plan";
  PlanRecords plan;
  ASSERT_TRUE(startPlan(&journal, &plan));
  std::vector<JournalRecord> written;
  for (int i = 0; i < 3000; ++i) {  // several pieces of 64 KiB
    written.push_back(
        {journalMovedAside, "dir\\file" + std::to_string(i), {}, "1:" + std::to_string(i)});
    addRecord(&plan, written.back());
  }
  JournalContent content = decodeJournal(fileContent(dir + "/plan"));
  EXPECT_TRUE(!content.whole && content.records.empty());
  ASSERT_TRUE(finishPlan(&journal, &plan));
  JournalRecord copied = {journalCopied, "dir\\file7", {}, "2:7"};
  ASSERT_TRUE(noteChange(&journal, copied));
  closeJournal(&journal);
  written.push_back(copied);
  content = decodeJournal(fileContent(dir + "/plan"));
  EXPECT_TRUE(content.whole && same(content.records, written));
  removeScratchDir(dir);
}

}  // namespace
