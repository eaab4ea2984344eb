import pathlib
import tempfile
from importlib.metadata import EntryPoint
from typing import assert_type

from vestri.ondrel.configuration import Configuration

cfg = Configuration({"server": {"port": "8080"}})
assert cfg["server.port"] == 8080
mine = cfg.copy()
assert_type(mine, Configuration)
with tempfile.TemporaryDirectory() as folder:
    ini = pathlib.Path(folder, "app.ini")
    ini.write_text("[db]\nhost = localhost\n")
    read = cfg.load_cfgs(ini, "missing.ini")
    assert_type(read, list[str])
    yaml_file = pathlib.Path(folder, "app.yaml")
    yaml_file.write_text("db:\n  port: 5432\n")
    loaded = cfg.load_yamls(yaml_file)
    assert_type(loaded, tuple[pathlib.Path, ...])
    assert loaded == (yaml_file,)
assert cfg.db.host == "localhost" and cfg["db.port"] == 5432
assert_type(cfg.load_entrypoint("vestri.no.such.group"), list[EntryPoint])
