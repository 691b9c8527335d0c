#!/usr/bin/env python3
"""Checks API responses, recorded one JSON object a line, against the OpenAPI document with an
independent JSON-schema validator (python3-jsonschema), so the document cannot drift from the
server: every status, media type and body must be the document's, and every request body the
server accepted must be one the document allows.

    api_document_check.py DOCUMENT RECORDS
"""
import json
import sys
import warnings

# Newer releases prefer another resolver; Debian's (4.10) has only this one.
warnings.filterwarnings("ignore", category=DeprecationWarning)
from jsonschema import Draft202012Validator, RefResolver, ValidationError  # noqa: E402


def main(document_path, records_path):
    with open(document_path, encoding="utf-8") as f:
        document = json.load(f)
    for schema in document["components"]["schemas"].values():
        Draft202012Validator.check_schema(schema)
    resolver = RefResolver(base_uri="", referrer=document)

    def resolve(item):
        while "$ref" in item:
            item = resolver.resolve(item["$ref"])[1]
        return item

    def problem_with(instance, schema):
        try:
            Draft202012Validator(schema, resolver=resolver).validate(instance)
            return None
        except ValidationError as error:
            return error.message

    problems = []
    checked = 0
    with open(records_path, encoding="utf-8") as f:
        records = [json.loads(line) for line in f if line.strip()]
    for r in records:
        where = f'{r["method"]} {r["path"]} -> {r["status"]}'
        operation = document["paths"].get(r["path"], {}).get(r["method"].lower())
        if operation is None:
            responses = {"405": document["components"]["responses"]["MethodNotAllowed"]}
        else:
            responses = operation["responses"]
        response = responses.get(str(r["status"]))
        if response is None:
            problems.append(f"{where}: status not in the document")
            continue
        response = resolve(response)
        media = r["content_type"].split(";")[0].strip().lower()
        content = response.get("content", {}).get(media)
        if content is None:
            problems.append(f"{where}: media type {media} not in the document")
            continue
        body = json.loads(r["body"]) if media == "application/json" else r["body"]
        message = problem_with(body, content["schema"])
        if message:
            problems.append(f"{where}: body: {message}")
        for header in response.get("headers", {}):
            if header == "Retry-After" and media == "application/json" and body.get("error") == "busy":
                if not r.get("retry_after"):
                    problems.append(f"{where}: busy without Retry-After")
        accepted = 200 <= r["status"] < 300 and media == "application/json"
        if accepted and operation is not None and "requestBody" in operation:
            request = json.loads(r["request"]) if r.get("request") else {}
            schema = operation["requestBody"]["content"]["application/json"]["schema"]
            message = problem_with(request, schema)
            if message:
                problems.append(f"{where}: accepted request {r.get('request')!r}: {message}")
        checked += 1
    for p in problems:
        print(p)
    print(f"{checked} responses checked against {document_path}, {len(problems)} problems")
    return 1 if problems or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
