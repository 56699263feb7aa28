"""QueryBuilder: exact SQL texts, literal safety, and statements that run on the sample network."""

import logging

import pandas as pd
import pytest
import reference
from hypothesis import given, settings
from hypothesis import strategies as st

from lumoreq import fetching

QB = fetching.QueryBuilder
TABLES = pd.DataFrame({"table_name": ["DYU_01_231", "DYU_01_221"]})

HEAD = (
    "\n            SELECT * FROM ZODUZA.{t} \n            WHERE STARTDATE >= TO_DATE('20240229', 'yyyymmdd') "
    "\n            AND STARTDATE < TO_DATE('20240301', 'yyyymmdd')+1\n        "
)


def test_data_query_exact_text_with_all_selections():
    sql = QB.build_data_query(
        TABLES,
        "2024-02-29",
        "20240301",
        pd.DataFrame({"stationid": [37005, 37006]}),
        pd.DataFrame({"itemid": ["3212"]}),
        2,
    )
    tail = " AND (STATIONID=37005 OR STATIONID=37006) AND (ITEMID='3212') AND (POINTID='2')"
    assert sql == HEAD.format(t="DYU_01_231") + tail + " UNION ALL " + HEAD.format(t="DYU_01_221") + tail


@pytest.mark.parametrize("point", ["", None, 0])
def test_data_query_without_selections(point):
    sql = QB.build_data_query(TABLES, pd.Timestamp("2024-02-29 13:00"), "2024-03-01", point_id=point)
    assert sql == HEAD.format(t="DYU_01_231") + " UNION ALL " + HEAD.format(t="DYU_01_221")


def test_dialog_query_exact_text():
    sql = QB.build_dialog_query(
        pd.DataFrame({"TABLE_NAME": ["QZ_LOG_231"]}), "20240229", "20240301", "313",
        pd.DataFrame({"STATIONID": ["37005"]}), None,
    )
    assert sql == HEAD.format(t="QZ_LOG_231")[:-9] + "\n            AND EVTID IN (:evt_id)\n        " + (
        " AND (STATIONID=37005)"
    )


def test_empty_table_list_logs_and_gives_none(caplog):
    with caplog.at_level(logging.ERROR, logger="fetching"):
        assert QB.build_data_query(TABLES.iloc[:0], "20240101", "20240101") is None
        assert QB.build_dialog_query(pd.DataFrame({"TABLE_NAME": []}), "20240101", "20240101", "313") is None
    assert [r.getMessage() for r in caplog.records] == ["没有找到匹配的表名!"] * 2


@pytest.mark.parametrize(
    "stations, items, expected",
    [
        ([], None, " AND (1=0)"),
        (None, [], " AND (1=0)"),
        (["37005", "1 OR 1=1", "-3", "12.5"], None,
         " AND (STATIONID=37005 OR STATIONID='1 OR 1=1' OR STATIONID=-3 OR STATIONID='12.5')"),
        (None, ["x' OR '1'='1"], " AND (ITEMID='x'' OR ''1''=''1')"),
    ],
)
def test_selections_are_literals(stations, items, expected):
    s = None if stations is None else pd.DataFrame({"stationid": pd.Series(stations, dtype=object)})
    i = None if items is None else pd.DataFrame({"itemid": pd.Series(items, dtype=object)})
    sql = QB.build_data_query(TABLES.iloc[:1], "20240101", "20240101", s, i)
    assert sql == HEAD.format(t="DYU_01_231").replace("20240229", "20240101").replace("20240301", "20240101") + expected


def test_odd_table_name_is_a_quoted_identifier():
    sql = QB.build_data_query(pd.DataFrame({"table_name": ['X"; DROP TABLE T; --']}), "20240101", "20240101")
    assert 'ZODUZA."X""; DROP TABLE T; --" ' in sql


texts = st.text(alphabet=st.sampled_from(list("0123456789-'\": ;()abcOR=.\\%_")), max_size=8)


@settings(max_examples=150, deadline=None)
@given(
    stations=st.none() | st.lists(st.one_of(texts, st.integers(-10**6, 10**6)), max_size=3),
    items=st.none() | st.lists(texts, max_size=3),
    point=st.one_of(texts, st.integers(0, 99), st.none()),
    dialog=st.booleans(),
)
def test_matches_reference(stations, items, point, dialog):
    if dialog:
        args = (pd.DataFrame({"TABLE_NAME": ["QZ_LOG_231", "QZ_LOG_221"]}), "20240101", "2024-01-31", "313")
        s = None if stations is None else pd.DataFrame({"STATIONID": pd.Series(stations, dtype=object)})
        i = None if items is None else pd.DataFrame({"ITEMID": pd.Series(items, dtype=object)})
        assert QB.build_dialog_query(*args, s, i) == reference.build_dialog_query(*args, s, i)
    else:
        s = None if stations is None else pd.DataFrame({"stationid": pd.Series(stations, dtype=object)})
        i = None if items is None else pd.DataFrame({"itemid": pd.Series(items, dtype=object)})
        args = (TABLES, "20240101", "2024-01-31", s, i, point)
        assert QB.build_data_query(*args) == reference.build_data_query(*args)


@pytest.mark.parametrize(
    "point, items, n_expected",
    [
        ("1", None, None),  # the real point: rows
        ("1') OR ('1'='1", None, 0),
        ("1' OR POINTID IS NOT NULL --", None, 0),
        ("a:b", None, 0),  # a colon inside a literal is not a bind parameter
        ("", ["2311", "x') OR ITEMID LIKE ('%"], None),
    ],
)
def test_statements_run_and_cannot_be_widened(sample_conn, point, items, n_expected):
    i = None if items is None else pd.DataFrame({"itemid": items})
    sql = QB.build_data_query(pd.DataFrame({"table_name": ["DYU_90_231"]}), "20240101", "20240110",
                              pd.DataFrame({"stationid": [37005]}), i, point)
    rows = reference.read_upper(sql, sample_conn)
    if n_expected is None:
        # four strain components over ten days; one of them when the item is selected
        assert set(rows.POINTID) == {"1"} and len(rows) == (40 if items is None else 10)
        assert items is None or set(rows.ITEMID) == {"2311"}
    else:
        assert len(rows) == n_expected
