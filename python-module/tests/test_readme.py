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
