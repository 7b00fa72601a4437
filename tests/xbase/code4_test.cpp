// The engine context: defaults, release of its pools and buffers, closing
// every open data file, and finding an open data file by alias.
#include "xbase/code4.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "xbase/d4data.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"

TEST(EngineContext, DefaultsAfterInit)
{
    CODE4 c4;
    std::memset(&c4, 0x5A, sizeof c4);
    d4init(&c4);
    EXPECT_EQ(-1, c4.lock_attempts);
    EXPECT_EQ(1, c4.safety);
    EXPECT_EQ(0, c4.exclusive);
    EXPECT_EQ(0, c4.read_only);
    EXPECT_STREQ("MM/DD/YY", c4.date_format);
    EXPECT_EQ(16384u, c4.mem_size_buffer);
    EXPECT_EQ(25, c4.default_unique_error);
    EXPECT_EQ(1, c4.open_error);
    EXPECT_EQ(1, c4.create_error);
    EXPECT_EQ(1, c4.auto_open);
    EXPECT_EQ(1, c4.do_index_verify);
    EXPECT_EQ(0x5281, c4.debug_int);
    EXPECT_EQ(1024u, c4.mem_size_block);
    EXPECT_EQ(61440u, c4.mem_size_sort_pool);
    EXPECT_EQ(512u, c4.mem_size_memo);
    EXPECT_EQ(5u, c4.mem_start_data);
    EXPECT_EQ(10, c4.mem_expand_tag);
    // Everything else starts cleared.
    EXPECT_EQ(0, c4.error_code);
    EXPECT_EQ(0, c4.file_flush);
    EXPECT_EQ(0, c4.read_lock);
    EXPECT_EQ(nullptr, c4.data_list.last_node);
    EXPECT_EQ(0, c4.data_list.n_link);
    EXPECT_EQ(nullptr, c4.data_memory);
    EXPECT_EQ(nullptr, c4.field_buffer);
    EXPECT_EQ(0, c4.saved_key[0]);
    EXPECT_EQ(0, c4.saved_key[247]);
    d4init(nullptr);
    EXPECT_EQ(0xC201, u4switch());
}

TEST(EngineContext, AllocAndUndoReleaseEverything)
{
    CODE4 *c4 = code4alloc(1);
    ASSERT_NE(nullptr, c4);
    EXPECT_EQ(-1, c4->lock_attempts);
    c4->field_buffer = static_cast<char *>(u4alloc(10));
    c4->buf_len = 10;
    c4->stored_key = static_cast<char *>(u4alloc(10));
    c4->stored_key_len = 10;
    c4->expr_work_buf = static_cast<char *>(u4alloc(10));
    c4->expr_buf_len = 10;
    ASSERT_NE(nullptr, mem4create_alloc(c4, &c4->tag_memory, 1, 3000, 1, 0));
    c4->error_code = 70;
    EXPECT_EQ(70, d4init_undo(c4));
    EXPECT_EQ(nullptr, c4->tag_memory);
    EXPECT_EQ(nullptr, c4->field_buffer);
    EXPECT_EQ(0u, c4->buf_len);
    EXPECT_EQ(nullptr, c4->stored_key);
    EXPECT_EQ(nullptr, c4->expr_work_buf);
    EXPECT_EQ(-1, d4init_undo(nullptr));
    u4free(c4);

    CODE4 *raw = code4alloc(0);
    ASSERT_NE(nullptr, raw);
    EXPECT_EQ(0, raw->lock_attempts);
    u4free(raw);
    u4alloc_fail_after(0);
    EXPECT_EQ(nullptr, code4alloc(1));
    u4alloc_fail_after(-1);
}

TEST(EngineContext, FindsOpenDataFileByAlias)
{
    CODE4 c4;
    d4init(&c4);
    DATA4 a{}, b{}, c{};
    std::strcpy(a.alias, "SQLTABLE");
    std::strcpy(b.alias, "CUSTOMERSX");
    std::strcpy(c.alias, "SQLTABLE");
    l4add(&c4.data_list, &a);
    l4add(&c4.data_list, &b);
    l4add(&c4.data_list, &c);
    EXPECT_EQ(&a, d4data(&c4, "sqltable")) << "the first match in open order";
    EXPECT_EQ(&b, d4data(&c4, "customersxyz")) << "compared by the alias's 10 characters";
    EXPECT_EQ(nullptr, d4data(&c4, "sqltab"));
    EXPECT_EQ(nullptr, d4data(&c4, ""));
    EXPECT_EQ(nullptr, d4data(&c4, nullptr));
    EXPECT_EQ(nullptr, d4data(nullptr, "SQLTABLE"));
}

TEST(EngineContext, CloseAllClosesEveryTable)
{
    testutil::TempDir dir;
    CODE4 c4;
    d4init(&c4);
    EXPECT_EQ(0, d4close_all(&c4)) << "nothing open";
    const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {nullptr, 0, 0, 0}};
    ASSERT_NE(nullptr, d4create(&c4, dir.file("one").c_str(), fields, nullptr));
    ASSERT_NE(nullptr, d4create(&c4, dir.file("two").c_str(), fields, nullptr));
    EXPECT_EQ(2, c4.data_list.n_link);
    EXPECT_NE(nullptr, d4data(&c4, "two"));
    EXPECT_EQ(0, d4close_all(&c4));
    EXPECT_EQ(0, c4.data_list.n_link);
    EXPECT_EQ(nullptr, d4data(&c4, "ONE"));

    c4.error_code = -920;
    EXPECT_EQ(-1, d4close_all(&c4)) << "a pending error is the result";
    EXPECT_EQ(-1, d4close_all(nullptr));
    c4.error_code = 0;
    d4init_undo(&c4);
}
