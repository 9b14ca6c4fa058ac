#!/usr/bin/python3
# Regenerates Jinja2Cases.json with Jinja2 (Debian python3-jinja2): every case's template is
# rendered by Jinja2 in the setting chat-template hosts use (sandboxed, trim_blocks, lstrip_blocks,
# loop controls, a tojson that takes json.dumps' arguments, raise_exception and strftime_now), and
# its output or error is written beside it. The tests read the JSON file only; run this script again
# (/usr/bin/python3 templates/tests/jinja2_cases.py) after changing the cases.
#
# A case is (template, context) or (template, context, refusal): a refusal is the text that the
# engine's error names for a construct it leaves out, where Jinja2 renders something.
#
# The second part renders the real chat templates of ../shared/fixtures/chat-templates over a few
# conversations; only the outputs are stored, the tests read the templates from the fixtures.
import datetime
import json
import os
import sys

import jinja2
from jinja2.sandbox import ImmutableSandboxedEnvironment

HERE = os.path.dirname(os.path.abspath(__file__))
FIXED_DATE = datetime.datetime(2026, 1, 1, 12, 0, 0)


def environment():
    env = ImmutableSandboxedEnvironment(trim_blocks=True, lstrip_blocks=True,
                                        extensions=["jinja2.ext.loopcontrols"])

    def tojson(x, ensure_ascii=False, indent=None, separators=None, sort_keys=False):
        return json.dumps(x, ensure_ascii=ensure_ascii, indent=indent, separators=separators, sort_keys=sort_keys)

    def raise_exception(message):
        raise jinja2.exceptions.TemplateError(message)

    env.filters["tojson"] = tojson
    env.globals["raise_exception"] = raise_exception
    env.globals["strftime_now"] = lambda fmt: FIXED_DATE.strftime(fmt)
    return env


def run(env, source, context):
    try:
        return {"output": env.from_string(source).render(**context)}
    except Exception as e:  # noqa: BLE001 - every failure is an expected error row
        return {"error": type(e).__name__ + ": " + str(e)}


XS = {"xs": [1, 2, 3]}
ROWS = [{"k": "a", "v": 1}, {"k": "b", "v": 2}, {"k": "a", "v": 3}]

CASES = [
    # Filtered loops count the items that pass the test.
    ("{% for x in [1,2,3] if x != 3 %}{{ x }}{{ ',' if not loop.last }}{% endfor %}", {}),
    ("{% for x in [10,20,30] if x != 10 %}{{ loop.index }}/{{ loop.length }}{{ 'F' if loop.first }} {% endfor %}", {}),
    ("{% for x in range(6) if x is even %}{{ loop.revindex }}{{ loop.index0 }}{{ loop.revindex0 }} {% endfor %}", {}),
    ("{% for x in [1,2] if x > 5 %}a{% else %}none{% endfor %}", {}),
    ("{% for x in xs if x > 1 %}{{ loop.cycle('a', 'b') }}{% endfor %}", XS),
    ("{% for k, v in {'a': 1, 'b': 2, 'c': 3}.items() if v != 2 %}{{ k }}{{ loop.index }}{% endfor %}", {}),
    ("{% for a in [1,2] %}{% for b in [1,2,3] if b != loop.index %}{{ b }}{% endfor %};{% endfor %}", {}),
    ("{% for c in 'abc' if c != 'a' %}{{ c }}{{ loop.index }}{% endfor %}", {}),
    ("{% for x in xs if x != 2 %}{% if x == 3 %}{% break %}{% endif %}{{ x }}{% endfor %}", XS),
    # Arguments of built-ins.
    ("{{ {'b': 1, 'a': [1, 2]}|tojson(sort_keys=true, separators=(',', ':')) }}", {}),
    ("{{ {'a': 1, 'b': 'x'}|tojson(separators=(',', ':')) }}", {}),
    ("{{ [1, 2]|tojson(separators=(';', '=')) }}", {}),
    ("{{ [[1, 2]]|map('tojson', indent=2)|join }}", {}),
    ("{{ [1.26, 3.14159]|map('round', 2)|join(' ') }}", {}),
    ("{{ [1.26]|map('round', 1)|join }}", {}),
    ("{{ ['aXa', 'bab']|map('replace', 'a', 'b')|join(',') }}", {}),
    ("{{ [['a', 'b'], ['c']]|map('join', '=')|join(';') }}", {}),
    ("{{ ['ab', 'cd']|map('upper')|join }}", {}),
    ("{{ [{'n': 'x'}, {}]|map(attribute='n', default='?')|join }}", {}),
    ("{{ ''|default('empty', true) }}|{{ 0|default('zero', true) }}|{{ 'x'|default('y', true) }}", {}),
    ("{{ []|default('none', boolean=true) }}|{{ undefined_name|default('u') }}|{{ ''|default('kept') }}", {}),
    ("{% set d = dict({'a': 1}, b=2) %}{{ d.a }}{{ d.b }}{{ d|length }}", {}),
    ("{% set d = dict([['x', 1], ['y', 2]]) %}{{ d.x }}{{ d.y }}", {}),
    ("{% set d = dict(o, b=2) %}{% for k, v in d.items() %}{{ k }}{{ v }}{% endfor %}", {"o": {"a": 1, "c": 3}}),
    ("{% set d = dict(b=2, a=1) %}{{ d|length }}{{ d.a }}", {}),
    # Macros fill varargs and kwargs, and refuse surplus arguments when the body reads neither.
    ("{% macro m(a) %}{{ a }}{{ varargs|join(',') }}{% endmacro %}{{ m(1, 2, 3) }}", {}),
    ("{% macro m(a) %}{{ a }}{% for k, v in kwargs|dictsort %}{{ k }}={{ v }}{% endfor %}{% endmacro %}{{ m(1, y=2, x=3) }}", {}),
    ("{% macro m() %}{{ varargs|length }}{{ kwargs|length }}{% endmacro %}{{ m() }}", {}),
    ("{% macro m(a, b=2) %}{{ a }}{{ b }}{% endmacro %}{{ m(b=3, a=1) }}", {}),
    ("{% macro m(a) %}{{ a }}{% endmacro %}{{ m(1, 2) }}", {}),
    ("{% macro m(a) %}{{ a }}{% endmacro %}{{ m(1, b=2) }}", {}),
    ("{% macro m(a) %}[{{ caller() }}{{ a }}]{% endmacro %}{% call m(1) %}x{% endcall %}", {}),
    # Line ends.
    ("{% if true %}\r\nx{% endif %}", {}),
    ("a\r\nb\rc\nd", {}),
    ("{% for x in [1,2] %}\r\n{{ x }}\r\n{% endfor %}", {}),
    ("  {% if true %}\r\n  x\r\n  {% endif %}\r\n", {}),
    ("x\r\n", {}),
    ("{{ 'a\r\nb' }}", {}),
    ("{# c #}\r\nx", {}),
    # truncate counts its end within the length.
    ("{{ ('ab cd ' * 10)|truncate(9) }}", {}),
    ("{{ 'hello world foo'|truncate(8, leeway=0) }}", {}),
    ("{{ 'abcdefghijkl'|truncate(6, true, leeway=0) }}", {}),
    ("{{ 'abcdefghij'|truncate(5, leeway=0) }}", {}),
    ("{{ 'short'|truncate(3) }}", {}),
    ("{{ 'one two three four'|truncate(12, end='~', leeway=0) }}", {}),
    ("{{ 'one\ttwo three'|truncate(10, leeway=0) }}", {}),
    ("{{ 'abcdefghij'|truncate(2) }}", {}),
    # Constructs that the engine implements.
    ("{{ 1e3 }} {{ 2.5e-3 }} {{ 1E2 }} {{ 1e20 }} {{ 1.5e+2 }}", {}),
    ("{{ '%s-%d' % ('a', 3) }}|{{ '%05.1f' % 3.14159 }}|{{ '%x' % 255 }}|{{ '%s' % 'x' }}", {}),
    ("{{ '%(name)s is %(age)d' % {'name': 'Ann', 'age': 7} }}|{{ '100%%' % () }}|{{ '%-4s|' % 'ab' }}", {}),
    ("{{ '%3d|%-3d|%+d|%i' % (5, 5, 5, 7) }}|{{ '%.2e' % 12345.678 }}|{{ '%o' % 8 }}", {}),
    ("{{ '%s %s' % 'x' }}", {}),
    ("{{ '%d' % 'x' }}", {}),
    ("{{ ([1, 2] * 2)|join(',') }}|{{ (2 * ['a'])|join }}|{{ ([1] * 0)|length }}", {}),
    ("{{ 'hELLO wORLD'|capitalize }}", {}),
    ("{{ '%s and %d'|format('a', 2) }}|{{ '%.2f'|format(3.14159) }}|{{ '%5s|'|format('ab') }}", {}),
    ("{{ 'xxaxx'.strip('x') }}|{{ '--a-'.lstrip('-') }}|{{ 'a..'.rstrip('.') }}|{{ ' a '.strip() }}|{{ 'abcba'.strip('ab') }}", {}),
    ("{% for key, items in rows|groupby('k') %}{{ key }}:{{ items|map(attribute='v')|join(',') }};{% endfor %}", {"rows": ROWS}),
    ("{% for g in rows|groupby('k') %}{{ g.grouper }}{{ g.list|length }};{% endfor %}", {"rows": ROWS}),
    ("{% for s in [1,2,3,4,5]|slice(2) %}{{ s|join(',') }};{% endfor %}", {}),
    ("{% for s in [1,2,3,4,5]|slice(2, 0) %}{{ s|join(',') }};{% endfor %}", {}),
    ("{% for s in range(7)|slice(3) %}{{ s|join(',') }};{% endfor %}", {}),
    ("{% for s in [1,2]|slice(4) %}{{ s|join(',') }};{% endfor %}", {}),
    ("{{ -7 // 2 }} {{ 7 // -2 }} {{ -7 % 3 }} {{ 7 % -3 }} {{ 7.5 % 2 }} {{ -7.5 // 2 }} {{ 7 // 2.0 }} {{ -1 % 5.0 }}", {}),
    ("{{ '<b>a &amp; b</b> &lt;3 &#39;q&#39; &#x41;&quot;'|striptags }}", {}),
    ("{{ '<p>Hello <b>world</b>\n bye </p>'|striptags }}", {}),
    ("{% set k = 'a' %}{% set d = {k: 1, 'b': 2} %}{{ d.a }}{{ d.b }}{{ d|length }}", {}),
    ("{% set d = {'x': 1, ('a' ~ 'b'): 2} %}{{ d.ab }}{% for k in d %}{{ k }}{% endfor %}", {}),
    # Constructs that the engine leaves out fail with an error naming them.
    ("{% for x in [1, [2, 3]] recursive %}{% if x is iterable %}{{ loop(x) }}{% else %}{{ x }}{% endif %}{% endfor %}", {},
     "Recursive loops"),
    ("{% for x in [1,1,2] %}{% if loop.changed(x) %}{{ x }}{% endif %}{% endfor %}", {}, "loop.changed"),
    ("{% for x in [1,2,3] if x != 2 %}{{ loop.previtem }}{% endfor %}", {}, "loop.previtem"),
    ("{% for x in [1,2,3] %}{{ loop.nextitem }}{% endfor %}", {}, "loop.nextitem"),
    ("{% for x in [1] %}{{ loop.depth }}{% endfor %}", {}, "loop.depth"),
    ("  {%+ if true %}x{% endif %}", {}, "'{%+'"),
    ("{% if true +%}\nx{% endif %}", {}, "'+%}'"),
    ("{% set x | upper %}abc{% endset %}{{ x }}", {}, "Filters on set blocks"),
    ("{{ {1: 'x'}[1] }}", {}, "Non-string dictionary keys"),
    ("{{ 'a,b,c'.rsplit(',', 1)|join('|') }}", {}, "rsplit"),
    ("{{ 'hello'.capitalize() }}", {}, "capitalize"),
    ("{{ '{} x'.format(1) }}", {}, "format"),
    ("{{ 'abc'.find('c') }}", {}, "find"),
    # Where the two agree already.
    ("{% set ns = namespace(n=0) %}{% for x in xs %}{% set ns.n = ns.n + x %}{% endfor %}{{ ns.n }}", XS),
    ("{% for x in xs %}{% if loop.first %}[{% endif %}{{ x }}{% if not loop.last %}, {% endif %}{% if loop.last %}]{% endif %}{% endfor %}", XS),
    ("{{ xs|join('-') }}|{{ xs|first }}{{ xs|last }}|{{ xs|length }}|{{ xs|sum }}|{{ xs|max }}{{ xs|min }}", XS),
    ("{{ 'Hello'|upper }}{{ 'Hello'|lower }}|{{ 'a b c'.split()|join(',') }}|{{ 'a,b'.split(',')|length }}", {}),
    ("{{ 'abcdef'[1:3] }}|{{ 'abc'[::-1] }}|{{ xs[-1] }}|{{ xs[1:]|join }}", XS),
    ("{{ 'x' if xs else 'y' }}{{ 'z' if not xs }}|{{ 'd' if xs is defined }}|{{ 'u' if nothing is not defined }}", XS),
    ("{%- if true -%}  a  {%- endif -%}  |  {{- 'b' -}}  ", {}),
    ("{% for i in range(3) %}{{ i }}{% endfor %}|{% for i in range(1, 10, 4) %}{{ i }}{% endfor %}", {}),
    ("{{ [3, 1, 2]|sort|join }}|{{ ['b', 'A', 'a']|sort|join }}|{{ [1, 2, 2, 3]|unique|join }}", {}),
    ("{% for k, v in {'b': 1, 'a': 2}|dictsort %}{{ k }}{{ v }}{% endfor %}|{{ {'a': 1}|items|list|length }}", {}),
    ("{{ rows|selectattr('k', 'equalto', 'a')|map(attribute='v')|join }}|{{ rows|rejectattr('v', 'odd')|map(attribute='k')|join }}", {"rows": ROWS}),
    ("{{ xs|select('odd')|join }}|{{ xs|reject('odd')|join }}|{{ [0, 1, '', 'a']|select|list|length }}", XS),
    ("{{ '  a  '|trim }}|{{ 'xxaxx'|trim('x') }}|{{ 'a\nb'|indent(2) }}|{{ 'a b'|replace(' ', '_') }}|{{ 'ab'|center(6) }}|", {}),
    ("{{ 'hello world'|title }}|{{ 'one two'|wordcount }}|{{ 'a&b<c>'|e }}|{{ 'a b/c'|urlencode }}", {}),
    ("{{ 42|string ~ 'x' }}|{{ '42'|int + 1 }}|{{ '3.5'|float }}|{{ 3.7|int }}|{{ -3|abs }}|{{ 2.567|round(1) }}", {}),
    ("{{ [1, 2, 3, 4, 5]|batch(2)|map('join', ',')|join(';') }}|{{ [1, 2, 3]|batch(2, 0)|map('join')|join(';') }}", {}),
    ("{% macro greet(name, greeting='Hi') %}{{ greeting }} {{ name }}{% endmacro %}{{ greet('Ann') }}, {{ greet('Bo', greeting='Yo') }}", {}),
    ("{% filter upper %}abc{% endfilter %}|{% set x %}in{{ 1 }}{% endset %}{{ x }}", {}),
    ("{% for x in xs %}{% if x == 2 %}{% continue %}{% endif %}{{ x }}{% endfor %}", XS),
    ("{{ 2 ** 10 }} {{ 7 / 2 }} {{ 4 / 2 }} {{ 1 + 2 * 3 }} {{ 'a' ~ 1 ~ 'b' }} {{ 10 - 3 }}", {}),
    ("{{ messages[0].content }}|{{ messages|length }}|{% for m in messages %}{{ m.role }}:{{ m['content'] }};{% endfor %}",
     {"messages": [{"content": "Hi", "role": "user"}, {"content": "Hello", "role": "assistant"}]}),
    ("{{ raise_exception('stop') }}", {}),
    ("{{ 's' if 'x' is string }}{{ 'n' if 1 is number }}{{ 'o' if none is none }}{{ 'd' if 4 is divisibleby 2 }}", {}),
]

TOOLS = [{
    "function": {
        "description": "Current weather for a city",
        "name": "get_weather",
        "parameters": {"properties": {"city": {"description": "City name", "type": "string"}},
                       "required": ["city"], "type": "object"},
        "return": {"description": "The weather", "type": "string"},
    },
    "type": "function",
}]

CONVERSATIONS = {
    "plain": {
        "add_generation_prompt": True,
        "bos_token": "<s>",
        "date_string": "26 Jul 2024",
        "eos_token": "</s>",
        "messages": [
            {"content": "Be brief.", "role": "system"},
            {"content": "Hi!", "role": "user"},
            {"content": "Hello.", "role": "assistant"},
            {"content": "Weather?", "role": "user"},
        ],
    },
    "user-only": {
        "add_generation_prompt": True,
        "bos_token": "<s>",
        "eos_token": "</s>",
        "messages": [{"content": "What is the weather in Paris?", "role": "user"}],
    },
    "tools": {
        "add_generation_prompt": True,
        "bos_token": "<s>",
        "date_string": "26 Jul 2024",
        "eos_token": "</s>",
        "messages": [{"content": "Weather in Paris?", "role": "user"}],
        "tools": TOOLS,
    },
    "tool-call": {
        "add_generation_prompt": True,
        "bos_token": "<s>",
        "date_string": "26 Jul 2024",
        "eos_token": "</s>",
        "messages": [
            {"content": "Weather in Paris?", "role": "user"},
            {"content": "", "role": "assistant",
             "tool_calls": [{"function": {"arguments": "{\"city\": \"Paris\"}", "name": "get_weather"},
                             "id": "call12345", "type": "function"}]},
            {"content": "sunny", "name": "get_weather", "role": "tool", "tool_call_id": "call12345"},
        ],
        "tools": TOOLS,
    },
}


def sorted_keys(value):
    # The engine reads host objects with their keys in ascending order; the contexts are written
    # so, and Jinja2 then iterates them in the same order.
    if isinstance(value, dict):
        assert list(value) == sorted(value), value
        for v in value.values():
            sorted_keys(v)
    elif isinstance(value, list):
        for v in value:
            sorted_keys(v)


def main():
    env = environment()
    cases = []
    for case in CASES:
        source, context = case[0], case[1]
        sorted_keys(context)
        row = {"template": source, "context": context}
        row.update(run(env, source, context))
        if len(case) > 2:
            row["refused"] = case[2]
        cases.append(row)
    renders = []
    folder = os.path.join(HERE, "..", "..", "..", "shared", "fixtures", "chat-templates")
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".jinja"):
            continue
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            source = f.read()
        for conversation, context in CONVERSATIONS.items():
            sorted_keys(context)
            row = {"file": name, "conversation": conversation}
            row.update(run(env, source, context))
            renders.append(row)
    document = {
        "jinja2": jinja2.__version__,
        # What strftime_now gave, by format, for the tests to put in place of today's date.
        "dates": {f: FIXED_DATE.strftime(f) for f in ("%Y-%m-%d", "%B %d, %Y", "%d %b %Y")},
        "conversations": CONVERSATIONS,
        "cases": cases,
        "chatTemplates": renders,
    }
    with open(os.path.join(HERE, "Jinja2Cases.json"), "w", encoding="utf-8") as f:
        json.dump(document, f, ensure_ascii=False, indent=1)
        f.write("\n")
    print(f"{len(cases)} cases, {len(renders)} chat-template renders with Jinja2 {jinja2.__version__}", file=sys.stderr)


if __name__ == "__main__":
    main()
