// Every save keeps the page it replaced in the page's history. A person finds
// the versions from the wiki list at /tiddly, opens an earlier one as a wiki
// of its own, and restores it; the page it replaces is kept in turn, and a tab
// loaded before the restore cannot overwrite the restored page.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import {
    addTiddlerThroughEditor, buildPlainWikiPage, expectConflict, expectSaved, Fernhollow, launchChromium,
    makeTempDir, openWiki, pressSave, saveLimitMs, screenshot, waitForWiki, watchPage, wikiFileName,
} from './support.mjs';

const versionPattern = /^\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}(-\d+)?\.(saved|before-shrink|conflict|before-restore)\.html$/;
const first = { title: 'First save', text: 'Kept in the history – 初版 ✓' };
const second = { title: 'Second save', text: 'Replaced by the restore – 第二 ✗' };

// The versions of `name` on disk: file name to bytes.
function versionsOnDisk(root, name) {
    const folder = path.join(root, 'history', name);
    const names = fs.readdirSync(folder);
    for (const file of names) assert.match(file, versionPattern, `history/${name}/ holds only versions`);
    return new Map(names.map((file) => [file, fs.readFileSync(path.join(folder, file))]));
}

// The version among `versions` whose bytes are `bytes`: its file name.
function versionHolding(versions, bytes, what) {
    const names = [...versions].filter(([, content]) => content.equals(bytes)).map(([file]) => file);
    assert.equal(names.length, 1, `one version is ${what}: ${[...versions.keys()]}`);
    return names[0];
}

describe('the history of a wiki: listed, opened, restored', { timeout: 180000 }, () => {
    let root;
    let server;
    let browser;

    before(async () => {
        root = makeTempDir('history-root');
        buildPlainWikiPage(root, wikiFileName);
        server = await Fernhollow.start(root);
        browser = await launchChromium();
    });

    after(async () => {
        await browser?.close();
        await server?.stop();
        if (root) fs.rmSync(root, { recursive: true, force: true });
    });

    it('lists the versions after two saves, opens the first save as a wiki, restores it; an older tab is refused',
        async () => {
            const url = `${server.origin}/${wikiFileName}`;
            const pagePath = path.join(root, wikiFileName);
            const original = fs.readFileSync(pagePath);
            const context = await browser.newContext();

            // Tab A saves twice, each time with a new tiddler.
            const tabA = await openWiki(context, url, server);
            await addTiddlerThroughEditor(tabA.page, first.title, first.text);
            const sentFirst = await expectSaved(tabA.page, await pressSave(tabA.page), url, server);
            await addTiddlerThroughEditor(tabA.page, second.title, second.text);
            const sentSecond = await expectSaved(tabA.page, await pressSave(tabA.page), url, server);
            assert.ok(fs.readFileSync(pagePath).equals(sentSecond));
            const kept = versionsOnDisk(root, wikiFileName);
            assert.equal(kept.size, 2, `two versions after two saves: ${[...kept.keys()]}`);
            const originalVersion = versionHolding(kept, original, 'the page before the first save');
            const firstVersion = versionHolding(kept, sentFirst, 'the first save');
            assert.match(firstVersion, /\.saved\.html$/);
            assert.match(originalVersion, /\.saved\.html$/);

            // The wiki list links to the page's history.
            const list = await context.newPage();
            const listSeen = watchPage(list);
            await list.goto(`${server.origin}/tiddly`);
            const historyLink = list.getByRole('link', { name: /^history \(\d+\)$/ });
            assert.equal(await historyLink.count(), 1, `one history link: ${await list.content()}`);
            await Promise.all([list.waitForURL(/\/tiddly\/history\?/), historyLink.click()]);
            assert.equal(list.url(), `${server.origin}/tiddly/history?page=${wikiFileName}`);
            assert.equal(await list.locator('h1').textContent(), `History of ${wikiFileName}`);

            // The current page first, then the versions newest first: the first save, then the page as it was built.
            const rows = list.locator('tr:has(td):not(.current)');
            assert.equal(await rows.count(), 2);
            const currentCells = await list.locator('tr.current td').allTextContents();
            assert.equal(currentCells[2], 'current page');
            assert.match(currentCells[1], /^[\d,]+ bytes \([+-][\d,]+\)$/, `the current size and its change: ${currentCells[1]}`);
            const rowOf = (version) => list.locator(`tr:has(a[href="/history/${wikiFileName}/${version}"])`);
            assert.equal(await rows.nth(0).locator('a').first().getAttribute('href'), `/history/${wikiFileName}/${firstVersion}`,
                'the newest version is listed first');
            for (const [version, bytes] of [[firstVersion, sentFirst], [originalVersion, original]]) {
                const cells = await rowOf(version).locator('td').allTextContents();
                assert.equal(cells.length, 5, `a row has time, size, kind, open, restore: ${cells}`);
                assert.match(cells[0], /\d{2}:\d{2}:\d{2}/, `the row shows when it was saved: ${cells[0]}`);
                assert.ok(cells[1].startsWith(`${bytes.length.toLocaleString('en-US')} bytes`), `the exact size: ${cells[1]}`);
                assert.equal(cells[2], 'saved');
                assert.equal(cells[3], 'open');
                assert.equal(cells[4], 'restore…');
            }
            await screenshot(list, 'history-list.png');

            // "open" serves the first save as a wiki of its own, in a new tab.
            const [opened] = await Promise.all([
                context.waitForEvent('page'),
                rowOf(firstVersion).getByRole('link', { name: 'open' }).click(),
            ]);
            const openedSeen = watchPage(opened);
            await waitForWiki(opened);
            const versionUrl = `${server.origin}/history/${wikiFileName}/${firstVersion}`;
            assert.equal(opened.url(), versionUrl);
            assert.equal(await opened.evaluate((t) => window.$tw.wiki.getTiddlerText(t), first.title), first.text);
            assert.equal(await opened.evaluate((t) => window.$tw.wiki.tiddlerExists(t), second.title), false,
                'the version holds no tiddler of the later save');
            // Its tiddler shows when the version is opened at it.
            await opened.goto(`${versionUrl}#${encodeURIComponent(first.title)}`);
            await waitForWiki(opened);
            const frame = opened.locator(`.tc-tiddler-view-frame[data-tiddler-title="${first.title}"]`);
            await frame.waitFor();
            assert.equal((await frame.locator('.tc-tiddler-body').textContent()).trim(), first.text);
            assert.equal(await opened.locator(`[data-tiddler-title="${second.title}"]`).count(), 0);
            await screenshot(opened, 'history-open-version.png');
            assert.deepEqual(openedSeen.errors, []);

            // "restore": the answer sends the browser back to the history page, which says what it did.
            const restoredTime = (await rowOf(firstVersion).locator('td').first().textContent()).trim();
            const onDiskBefore = fs.readFileSync(pagePath);
            // Restore asks first: the confirmation changes nothing until its button is pressed.
            await Promise.all([list.waitForURL(/restore=/), rowOf(firstVersion).getByRole('link', { name: 'restore…' }).click()]);
            assert.match(await list.locator('h1').textContent(), /^Restore .* to the version saved /);
            assert.ok(fs.readFileSync(pagePath).equals(onDiskBefore), 'asking changes nothing');
            await screenshot(list, 'history-confirm.png');
            const [posted] = await Promise.all([
                list.waitForResponse((r) => r.request().method() === 'POST', { timeout: saveLimitMs }),
                list.waitForURL(/restored=/, { timeout: saveLimitMs }),
                list.getByRole('button', { name: 'restore this version' }).click(),
            ]);
            assert.equal(posted.status(), 303, `the restore is answered 303; server console:\n${server.console()}`);
            assert.equal(posted.headers().location, `/tiddly/history?page=${wikiFileName}&restored=${firstVersion}`);
            assert.equal(list.url(), `${server.origin}/tiddly/history?page=${wikiFileName}&restored=${firstVersion}`);
            const note = (await list.locator('p strong').textContent()).trim();
            assert.equal(note, `Restored the version saved ${restoredTime}.`);
            await screenshot(list, 'history-restored.png');
            assert.deepEqual(listSeen.dialogs, []);
            assert.deepEqual(listSeen.errors, []);

            // On disk: the page is the first save again; what it replaced joined the history.
            assert.ok(fs.readFileSync(pagePath).equals(sentFirst), 'the page on disk is the restored version');
            const afterRestore = versionsOnDisk(root, wikiFileName);
            assert.equal(afterRestore.size, 3, `one more version after the restore: ${[...afterRestore.keys()]}`);
            const replaced = versionHolding(afterRestore, onDiskBefore, 'the page the restore replaced');
            assert.match(replaced, /\.before-restore\.html$/);
            assert.ok(afterRestore.get(firstVersion).equals(sentFirst), 'the restored version stays in the history');
            assert.ok(afterRestore.get(originalVersion).equals(original));
            const listed = await rows.evaluateAll((trs) => trs.map((tr) => tr.querySelector('a').getAttribute('href')));
            assert.equal(listed.length, 3);
            assert.equal(listed[0], `/history/${wikiFileName}/${replaced}`, 'the page the restore replaced is newest');
            assert.equal(await rowOf(replaced).locator('td').nth(2).textContent(), 'before a restore');

            // Tab A loaded the page before the restore: its next save is refused, and the restored page stays.
            await addTiddlerThroughEditor(tabA.page, 'After the restore', 'Written in the old tab – ✗');
            const response = await pressSave(tabA.page);
            await expectConflict({ ...tabA, response, root, name: wikiFileName });
            await screenshot(tabA.page, 'history-old-tab-refused.png');
            assert.match(tabA.seen.dialogs[0], /File changed on server/);
            assert.deepEqual(tabA.seen.downloads, []);
            assert.deepEqual(tabA.seen.errors, []);
            assert.ok(fs.readFileSync(pagePath).equals(sentFirst), 'the page on disk is still the restored version');
            await context.close();
        });
});
