"""A short tour of vestri.ondrel.

Run it with `bash scripts/example.sh`, which builds the package first.  Each
section is a function that plays a few statements as in an interactive
session and prints them with their results; to show another module, write one
more function and add it to SECTIONS at the bottom.
"""

import os
import pathlib
import textwrap
from collections.abc import Mapping

from vestri.ondrel.arbel import Arbel
from vestri.ondrel.configuration import Configuration
from vestri.ondrel.pointel import NestedPointel, Pointel
from vestri.ondrel.sequara import Sequara

CONFIG_DIR = pathlib.Path(__file__).resolve().parent / "config"


def session(title, code, namespace=None):
    """Print `title`, then run `code` line by line as the interactive
    interpreter would: echo each line, print the value of each expression and
    the type and text of an exception, which ends nothing but that line."""
    print(f"\n{title}\n{'-' * len(title)}")
    namespace = {} if namespace is None else namespace
    namespace.setdefault("Pointel", Pointel)
    namespace.setdefault("NestedPointel", NestedPointel)
    for line in textwrap.dedent(code).strip().splitlines():
        if not line.strip():
            print()
            continue
        print(f">>> {line}")
        try:
            try:
                value = eval(compile(line, "<demo>", "eval"), namespace)
            except SyntaxError:
                exec(compile(line, "<demo>", "exec"), namespace)
            else:
                if value is not None:
                    print(repr(value))
        except Exception as exc:  # shown, as the interpreter would show it
            print(f"{type(exc).__name__}: {exc}")


def attribute_dictionary():
    session("Pointel: a dict whose keys are also attributes", """
        person = Pointel({'first': 'Ada'}, last='Lovelace')
        person
        person.first, person['last']
        person.born = 1815
        person['born']
        person['died'] = 1852
        person.died
        del person.died
        'died' in person
        isinstance(person, dict), person.__dict__ is person
        person.copy()
        person.middle
    """)


def dotted_keys():
    session("NestedPointel: dotted keys reach nested levels", """
        cfg = NestedPointel({'db': {'host': 'localhost', 'port': 5432}})
        cfg['db.port'], cfg.db.host
        cfg['cache.redis.ttl'] = 60
        cfg.cache
        'cache.redis.ttl' in cfg, 'cache.memcached' in cfg
        cfg.get('cache.memcached.ttl', 'off')
        cfg.pop('cache.redis.ttl')
        cfg.setdefault('db.user', 'app')
        list(cfg)
        cfg['db.port.number'] = 1
    """)


def deep_merge():
    session("NestedPointel.update merges mappings level by level", """
        cfg = NestedPointel({'db': {'host': 'localhost', 'port': 5432}})
        cfg.update({'db': {'port': 6543, 'user': 'app'}, 'debug': True})
        cfg
        cfg.update({'db.pool.size': 4})
        cfg.db.pool
        cfg.update(debug=False, db='sqlite://')
        cfg
    """)


class Settings(NestedPointel):
    """A subclass: its levels are Settings too, and print as such."""


def levels_follow_the_class():
    session("Levels are built with the runtime class", """
        settings = Settings({'server': {'tls': {'enabled': True}}})
        type(settings.server).__name__, type(settings.server.tls).__name__
        settings['server.port'] = 8443
        settings
    """, {"Settings": Settings})


def configuration_store():
    os.environ.setdefault("APP_ROOT", "/srv/app")
    os.environ.setdefault("DB_USER", "service")
    session("Configuration: INI and YAML files merged into one store", f"""
        cfg = Configuration()
        cfg.load_cfgs({str(CONFIG_DIR / 'app.ini')!r}, 'missing.ini')
        cfg.server
        cfg['db.primary.url'], cfg.logging.file
        cfg.load_yamls({str(CONFIG_DIR / 'app.yaml')!r})
        cfg.server.port, cfg.server.workers, cfg.server.debug
        cfg['db.primary.pool_size'], cfg.db.replica.url
        type(cfg.db.replica).__name__
        cfg['server.timeout'] = '2.5'
        cfg.server.timeout
        mine = cfg.copy()
        mine['server.port'] = 1
        cfg.server.port, mine.server.port
    """, {"Configuration": Configuration})


def orderable_mapping():
    session("Sequara: a mapping whose key order can be edited", """
        steps = Sequara([('fetch', 1), ('build', 2), ('test', 3)])
        steps.insert('lint', 0, 1)
        steps.move('test', 0)
        steps
        steps.keys(), steps.values()
        steps.keys().reverse()
        list(steps)
        steps.popitem()
        steps == Sequara(lint=0, fetch=1, test=3), steps == Sequara(test=3, fetch=1, lint=0)
        steps == dict(steps.items())
        steps.insert('fetch', 9, 0)
    """, {"Sequara": Sequara})


def as_tree(name, level):
    """A tree of Arbel nodes for a nested mapping: one node per level, one
    line per value."""
    return Arbel(name, [as_tree(key, value) if isinstance(value, Mapping) else f"{key} = {value!r}"
                        for key, value in level.items()])


def configuration_tree():
    os.environ.setdefault("APP_ROOT", "/srv/app")
    os.environ.setdefault("DB_USER", "service")
    session("Arbel: a loaded configuration drawn as a tree", f"""
        cfg = Configuration()
        cfg.load_cfgs({str(CONFIG_DIR / 'app.ini')!r})
        cfg.load_yamls({str(CONFIG_DIR / 'app.yaml')!r})
        print(as_tree('app', cfg))
        node = Arbel('extra', ['one line', 'two\\nlines'])
        node.add_child(Arbel('leaf'))
        print(node)
    """, {"Configuration": Configuration, "Arbel": Arbel, "as_tree": as_tree})
def leaf_paths(level, prefix=""):
    """The dotted path of every leaf of a nested mapping."""
    for key, value in level.items():
        if isinstance(value, dict):
            yield from leaf_paths(value, f"{prefix}{key}.")
        else:
            yield prefix + key


def logic_selection():
    from vestri.ondrel.logic import And, Not, Or, logic_str

    session("Logic expressions select configuration paths", f"""
        cfg = Configuration()
        cfg.load_cfgs({str(CONFIG_DIR / 'app.ini')!r})
        select = logic_str(r"And('^(db|server)\\.', Not('url$', 'root$'))")
        select
        [p for p in leaf_paths(cfg) if select(p)]
        select == And(r'^(db|server)\\.', Not('url$', 'root$'))
        Or(lambda port: port > 8000)(80, 8080)
        logic_str("__import__('os').system('echo hi')")
    """, {"Configuration": Configuration, "leaf_paths": leaf_paths, "logic_str": logic_str,
          "And": And, "Or": Or, "Not": Not})


SECTIONS = [
    attribute_dictionary,
    dotted_keys,
    deep_merge,
    levels_follow_the_class,
    configuration_store,
    orderable_mapping,
    configuration_tree,
    logic_selection,
]


def main():
    for section in SECTIONS:
        section()


if __name__ == "__main__":
    main()
