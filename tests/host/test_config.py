"""The configuration file: defaults, validation with one clear message, overrides."""

from __future__ import annotations

import os

import pytest

from vesk import config


def write_config(tmp_path, text: str) -> None:
    (tmp_path / ".vesk").mkdir(exist_ok=True)
    (tmp_path / ".vesk" / "config.toml").write_text(text)


def test_defaults_without_a_file(tmp_path):
    settings = config.load(str(tmp_path))
    assert settings["db_path"] == str(tmp_path / ".vesk" / "db.sqlite3")
    assert settings["threading"] is True and settings["lightweight_repr"] is False
    assert settings["filters"] == {"include_frames": [], "ignore_frames": []}
    assert all(settings["plugins"].values())


def test_file_values_then_overrides(tmp_path):
    write_config(
        tmp_path,
        """
        db_path = "traces/my.db"
        lightweight_repr = true
        sqlite_busy_timeout = 5
        [filters]
        ignore_frames = ["/generated/"]
        [plugins]
        logging = false
        [serialize]
        max_items = 10
        """,
    )
    settings = config.load(str(tmp_path), overrides={"threading": False, "plugins": {"django": False}})
    assert settings["db_path"] == str(tmp_path / "traces" / "my.db")
    assert settings["lightweight_repr"] is True and settings["threading"] is False
    assert settings["sqlite_busy_timeout"] == 5
    assert settings["filters"]["ignore_frames"] == ["/generated/"]
    assert settings["plugins"]["logging"] is False and settings["plugins"]["django"] is False
    assert settings["plugins"]["http_client"] is True
    assert settings["serialize"]["max_items"] == 10 and settings["serialize"]["max_depth"] == 8
    engine = config.engine_config(settings)
    assert "db_path" not in engine and engine["filters"] is not settings["filters"]


@pytest.mark.parametrize(
    "text, message",
    [
        ("theading = true", 'unknown key "theading"'),
        ("[filters]\ninclude = []", 'unknown key "filters.include"'),
        ('threading = "yes"', '"threading" must be true or false, not a string'),
        ("sqlite_busy_timeout = -1", '"sqlite_busy_timeout" must be at least 0'),
        ("sqlite_busy_timeout = true", '"sqlite_busy_timeout" must be an integer'),
        ('[filters]\nignore_frames = "/x/"', '"filters.ignore_frames" must be an array of strings'),
        ("[plugins]\nlogging = 1", '"plugins.logging" must be true or false'),
        ("plugins = true", '"plugins" must be a table'),
        ("[serialize]\nmax_depth = 0", '"serialize.max_depth" must be at least 1'),
        ("threading = ", "invalid TOML"),
    ],
)
def test_bad_files_give_one_line_naming_the_key(tmp_path, monkeypatch, text, message):
    monkeypatch.chdir(tmp_path)
    write_config(tmp_path, text)
    with pytest.raises(config.ConfigError) as raised:
        config.load(".")
    text = str(raised.value)
    assert message in text and "\n" not in text
    assert text.startswith(os.path.join(".vesk", "config.toml"))


def test_explicit_config_file_must_exist(tmp_path):
    with pytest.raises(config.ConfigError, match="does not exist"):
        config.load(str(tmp_path), path=str(tmp_path / "nope.toml"))


@pytest.mark.parametrize(
    "file, environment, expected",
    [
        ('db_path = "here.db"', None, "{root}/here.db"),
        ('db_path = "here.db"\ndb_url = "postgresql://team@db/traces"', None, "postgresql://team@db/traces"),
        ('db_url = "postgresql://team@db/traces"', "postgresql://ci@db/ci", "postgresql://ci@db/ci"),
        ("", "elsewhere/ci.db", "{root}/elsewhere/ci.db"),
    ],
)
def test_the_store_is_vesk_db_else_db_url_else_db_path(tmp_path, monkeypatch, file, environment, expected):
    write_config(tmp_path, file)
    if environment is None:
        monkeypatch.delenv("VESK_DB", raising=False)
    else:
        monkeypatch.setenv("VESK_DB", environment)
    settings = config.load(str(tmp_path))
    assert (settings["db_path"], settings["db_file"]) == (
        expected.format(root=tmp_path), str(tmp_path / ("here.db" if "here.db" in file else ".vesk/db.sqlite3")))
