from typing import Any, assert_type

from vestri.ondrel.pointel import NestedPointel, Pointel

person = Pointel({"first": "Ada"}, last="Lovelace")
assert_type(person, Pointel[str, str])
assert_type(person["first"], str)
assert_type(person.copy(), dict[str, str])
assert_type(person.first, Any)  # attributes are the keys, known only at run time
record: Pointel[str, object] = Pointel(first="Ada")
record.born = 1815
assert record["born"] == 1815

cfg = NestedPointel({"db": {"host": "localhost", "port": 5432}})
assert_type(cfg["db.port"], Any)
assert cfg.get("cache.ttl", 0) == 0
cfg.update({"db": {"user": "app"}}, debug=True)
assert isinstance(cfg.db, NestedPointel) and cfg.pop("db.user") == "app"
assert_type("db.host" in cfg, bool)
