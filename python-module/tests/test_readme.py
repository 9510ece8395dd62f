import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def usage_example():
    text = README.read_text(encoding="utf-8")
    section = re.search(r"^## Python usage\n(.*?)(?=^## |\Z)", text, re.S | re.M)
    assert section, "README.md has no '## Python usage' section"
    block = re.search(r"^```python\n(.*?)^```", section.group(1), re.S | re.M)
    assert block, "the '## Python usage' section has no python block"
    return block.group(1)


def test_python_usage_example_runs(tmp_path, monkeypatch, capsys):
    code = usage_example()
    monkeypatch.chdir(tmp_path)  # the example writes a file
    exec(compile(code, str(README), "exec"), {"__name__": "readme_example"})
    assert capsys.readouterr().out.strip()


def section_block(title, fence):
    text = README.read_text(encoding="utf-8")
    section = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", text, re.S | re.M)
    assert section, f"README.md has no '## {title}' section"
    block = re.search(rf"^```{fence}\n(.*?)^```", section.group(1), re.S | re.M)
    assert block, f"the '## {title}' section has no {fence or 'plain'} block"
    return block.group(1)


def test_default_recipes_run():
    code = section_block("Python types, `default`, paths and errors", "python")
    exec(compile(code, str(README), "exec"), {"__name__": "readme_recipes"})


def test_text_notation_example_parses():
    import _tuvax_native as tv

    value = tv.parse_text(section_block("The text notation", ""))
    assert value["first name"] == "Ada" and value["raw"] == b"\x01\x02\x03"
    assert value["list"] == [1, 2, 3] and value["port"] == 8080 and value["offset"] == -3
